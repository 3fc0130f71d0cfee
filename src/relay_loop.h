// The relay loop: scan bursts from the data port become scan messages for
// every subscriber.
#pragma once

#include <cstddef>

constexpr std::size_t kBurstBufferSize = 2048;
constexpr std::size_t kConvertedBufferSize = 8192;

struct RelayBuffers {
    char burst[kBurstBufferSize];          // raw bytes of one burst, then zeros
    char converted[kConvertedBufferSize];  // its converted text, then zeros

    void clear();
};

// Relays bursts until the data port cannot be reopened after one.
void runRelayLoop(RelayBuffers& buffers);
