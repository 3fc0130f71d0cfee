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
    return static_cast<int>(static_cast<std::uint32_t>(strtol(argument, nullptr, 10)));
}
