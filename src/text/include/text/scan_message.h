// The JSON scan message that every subscriber receives for one scan.
#pragma once

#include "gs1/scan_reading.h"

#include <chrono>
#include <cstdint>
#include <string>

// The scan message for a scan of `size` bytes whose text is `data` up to its
// first zero byte, in the layout of cJSON's formatted printer, e.g.
//   {\n\t"type":\t"BARCODE_GUN",\n\t"size":\t6,\n\t"Data":\t"ABC123"\n}
// Empty only when memory ran out while it was built; an empty result is
// never a message.
std::string enJsonFormat(std::uint64_t size, std::string data);

// What a numbered message says of a scan beside its "Data": what the scan
// was read to say, and whether its "text" is given (for scanners that send
// a symbology identifier, where "Data" begins with it).
struct ScanContent {
    ScanReading reading;
    bool withText = false;
};

// The same message with more members after "Data", for clients that ask
// for them: "seq" (the scan's number, printed whole), "time" (when it
// ended, as utcMilliseconds gives it) and "scanner" (its name, or its
// device's path); then, from `content`, "symbology" ({"id", "name"}) when
// the scan has an identifier, "text" when asked for, and "gs1" (AIs to
// values, in scan order) for valid GS1 data or "gs1_error" (why not) for
// data that claims to be GS1 and is not. Empty only when memory ran out.
std::string numberedScanMessage(std::uint64_t size, std::string data, std::uint64_t seq,
                                std::chrono::system_clock::time_point time, const std::string& scanner,
                                const ScanContent& content = {});

// RFC 3339 in UTC to the millisecond, e.g. "2026-12-09T04:20:00.123Z".
std::string utcMilliseconds(std::chrono::system_clock::time_point time);
