// Whole input event records from what reads of an input device (or a FIFO
// standing in for one) return. The kernel's own struct is used: 24 bytes
// on amd64 and arm64, 16 on armhf, whatever width time_t has there.
#pragma once

#include <linux/input.h>

#include <cstddef>
#include <vector>

class InputRecords {
public:
    // The records that these bytes complete, in order; a record cut by the
    // end of a read waits for the rest.
    std::vector<input_event> take(const char* bytes, std::size_t length);

private:
    unsigned char part_[sizeof(input_event)] = {};
    std::size_t partLength_ = 0;
};
