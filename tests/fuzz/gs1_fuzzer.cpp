// Any scan through readScanContent, as the relay would hand it: the first byte
// says whether the scanner sends AIM identifiers and element strings, and
// the year (2000 to 2063) dates are placed around; the rest is the scan.
// The scan is never changed; the text is the scan without its identifier
// and suffix; every GS1 value keeps its AI's rule (re-checked against the
// table, and a GTIN's check digit by hand); an error comes without data.
#include "application_identifiers.h"
#include "gs1/scan_reading.h"
#include "value_rules.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "gs1_fuzzer: %s\n", what);
    abort();
}

bool gtinCheckDigitHolds(const std::string& gtin) {
    int sum = 0;
    for (std::size_t i = 0; i + 1 < gtin.size(); ++i) sum += (gtin[i] - '0') * ((gtin.size() - 1 - i) % 2 ? 3 : 1);
    return gtin.size() == 14 && (sum + gtin.back() - '0') % 10 == 0;
}

void checkGs1(const ScanReading& reading, int year) {
    require(reading.gs1Error.empty() || reading.gs1.empty(), "GS1 data beside an error");
    for (const auto& [ai, value] : reading.gs1) {
        const AiRule* rule = ApplicationIdentifiers::table().ruleOf(ai);
        require(rule != nullptr, "an AI outside the table");
        require(valueProblem(*rule, value, year).empty(), "a value that breaks its AI's rule");
        require(value.find('\x1d') == std::string::npos, "a separator inside a value");
        require(ai != "01" || gtinCheckDigitHolds(value), "a GTIN with a wrong check digit");
    }
}

void checkText(const ScanReading& reading, const std::string& scan) {
    const std::size_t idLength = reading.symbology ? reading.symbology->id.size() : 0;
    require(!reading.symbology || scan.compare(0, idLength, reading.symbology->id) == 0,
            "an identifier not in the scan");
    require(scan.compare(idLength, reading.text.size(), reading.text) == 0, "text that is not the scan's");
    require(scan.size() - idLength - reading.text.size() <= 2, "more than a suffix left out");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool aimIds = data[0] & 1;
    const bool gs1Scanner = data[0] & 2;
    const int year = 2000 + (data[0] >> 2);
    // The scan in a buffer of its own size, so that any read past it is caught.
    std::vector<char> scan(data + 1, data + size);
    const std::string before(scan.begin(), scan.end());
    const ScanReading reading = readScanContent(std::string_view(scan.data(), scan.size()), aimIds, gs1Scanner, year);
    require(std::string(scan.begin(), scan.end()) == before, "the scan was changed");
    checkText(reading, before);
    checkGs1(reading, year);
    return 0;
}
