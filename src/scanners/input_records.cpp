#include "input_records.h"

#include <algorithm>
#include <cstring>

std::vector<input_event> InputRecords::take(const char* bytes, std::size_t length) {
    std::vector<input_event> records;
    while (length > 0) {
        const std::size_t piece = std::min(length, sizeof part_ - partLength_);
        memcpy(part_ + partLength_, bytes, piece);
        partLength_ += piece;
        bytes += piece;
        length -= piece;
        if (partLength_ < sizeof part_) break;
        input_event record;
        memcpy(&record, part_, sizeof record);
        records.push_back(record);
        partLength_ = 0;
    }
    return records;
}
