// The JSON scan message that every subscriber receives for one scan.
#pragma once

#include <cstdint>
#include <string>

// The scan message for a scan of `size` bytes whose text is `data` up to its
// first zero byte, in the layout of cJSON's formatted printer, e.g.
//   {\n\t"type":\t"BARCODE_GUN",\n\t"size":\t6,\n\t"Data":\t"ABC123"\n}
// Empty only when memory ran out while it was built; an empty result is
// never a message.
std::string enJsonFormat(std::uint64_t size, std::string data);
