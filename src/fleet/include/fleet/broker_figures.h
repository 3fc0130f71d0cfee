// What /status and /metrics show of the MQTT publisher.
#pragma once

#include <cstddef>
#include <cstdint>

// How publishing to an MQTT broker goes.
struct BrokerFigures {
    bool connected = false;
    std::uint64_t published = 0;
    std::size_t queued = 0;
    std::uint64_t dropped = 0;  // the oldest, when the queue was full
    // The outbox on disk.
    std::uint64_t stored = 0;       // scans written to it
    std::uint64_t diskErrors = 0;   // scans it could not take, and failed removals
    double oldestAgeSeconds = 0;    // of the oldest scan waiting; 0 when none waits
    std::uint64_t lastSeq = 0;      // the sequence number last published; 0: none yet
    std::uint64_t refused = 0;      // publishes the broker refused (each offer); the scans wait
    std::uint64_t rejected = 0;     // scans larger than the broker takes, dropped
};
