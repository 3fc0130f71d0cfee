// The number a box's scans begin above when it has no store to go on from.
#pragma once

#include <cstdint>

// Microseconds since 2020 by the wall clock: above every number a box has
// given out before, however its store was lost (a box cannot take a scan a
// microsecond).
std::uint64_t sequenceFloor();
