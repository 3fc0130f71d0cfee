// The serial scanner's buffers, one scan at a time: start-up wipes them,
// the first serial scanner reads into them.
#pragma once

#include <cstddef>

constexpr std::size_t kBurstBufferSize = 2048;
constexpr std::size_t kConvertedBufferSize = 8192;

struct RelayBuffers {
    char burst[kBurstBufferSize];          // raw bytes of one scan, then zeros
    char converted[kConvertedBufferSize];  // its converted text, then zeros

    void wipe();  // zeros in both
};
