// The JSON scan message that every subscriber receives for one scan.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The scan message for a scan of `size` bytes whose text is `data` up to its
// first zero byte, in the layout of cJSON's formatted printer, e.g.
//   {\n\t"type":\t"BARCODE_GUN",\n\t"size":\t6,\n\t"Data":\t"ABC123"\n}
// Empty only when memory ran out while it was built; an empty result is
// never a message.
std::string enJsonFormat(std::uint64_t size, std::string data);

// The same message with three more members after "Data", for clients that
// ask for them: "seq" (the scan's number, printed whole), "time" (when it
// ended, as utcMilliseconds gives it) and "scanner" (its scanner's name, or its path).
// Empty only when memory ran out.
std::string numberedScanMessage(std::uint64_t size, std::string data, std::uint64_t seq,
                                std::chrono::system_clock::time_point time, const std::string& scanner);

// RFC 3339 in UTC to the millisecond, e.g. "2026-12-09T04:20:00.123Z".
std::string utcMilliseconds(std::chrono::system_clock::time_point time);
