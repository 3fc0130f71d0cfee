// The relay loop: scans from the data port become scan messages for every
// subscriber.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

struct Options;
class ServiceStats;

constexpr std::size_t kBurstBufferSize = 2048;
constexpr std::size_t kConvertedBufferSize = 8192;

struct RelayBuffers {
    char burst[kBurstBufferSize];          // raw bytes of one scan, then zeros
    char converted[kConvertedBufferSize];  // its converted text, then zeros

    void clear();
};

// Where each scan message goes besides the subscribers (an MQTT broker);
// must not block.
using ScanSink = std::function<void(const std::string& message)>;

// Relays scans until the data port cannot be reopened after one, or until
// the service is to stop.
// The loop shows it is alive in the figures every heartbeat while it waits,
// and ends after the scan under way once `stop` becomes readable.
void runRelayLoop(RelayBuffers& buffers, const Options& options, ServiceStats& stats, const ScanSink& alsoTo = {},
                  std::chrono::milliseconds heartbeat = std::chrono::seconds(1), int stop = -1);
