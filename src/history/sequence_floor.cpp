#include "history/sequence_floor.h"

#include <chrono>

std::uint64_t sequenceFloor() {
    constexpr std::int64_t k2020 = 1577836800;  // 2020-01-01T00:00:00Z
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count() - k2020 * 1000000;
    return micros > 0 ? static_cast<std::uint64_t>(micros) : 0;
}
