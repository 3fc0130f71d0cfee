#include "process_checks.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

bool IsProceRunning() {
    FILE* pipe = popen("ps -e | grep -c TirnSerial", "r");
    if (pipe == nullptr) return false;

    char count[9] = {};
    const size_t got = fread(count, 1, sizeof count - 1, pipe);
    pclose(pipe);
    if (got == 0) return false;
    return strtol(count, nullptr, 10) > 1;
}

int parseConversionMode(const char* argument) {
    // Read as a 64-bit number on every target: where long has 32 bits,
    // strtol would stop at LONG_MAX and 4294967297 would not be mode 1.
    return static_cast<int>(static_cast<std::uint32_t>(strtoll(argument, nullptr, 10)));
}
