#include "process_checks.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool IsProceRunning() {
    FILE* pipe = popen("ps -e | grep -c TirnSerial", "r");
    if (pipe == nullptr) return false;

    char count[9] = {};
    const size_t got = fread(count, 1, sizeof count - 1, pipe);
    pclose(pipe);
    if (got == 0) return false;
    return strtol(count, nullptr, 10) > 1;
}

pid_t otherCopyPid() {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return 0;
    pid_t found = 0;
    while (const dirent* entry = readdir(processes)) {
        const pid_t pid = static_cast<pid_t>(strtol(entry->d_name, nullptr, 10));
        if (pid <= 0 || pid == getpid()) continue;
        char name[64] = {};
        FILE* comm = fopen(("/proc/" + std::string(entry->d_name) + "/comm").c_str(), "r");
        if (comm == nullptr) continue;
        const bool named = fgets(name, sizeof name, comm) != nullptr && strstr(name, "TirnSerial") != nullptr;
        fclose(comm);
        if (named) {
            found = pid;
            break;
        }
    }
    closedir(processes);
    return found;
}

int parseConversionMode(const char* argument) {
    // Read as a 64-bit number on every target: where long has 32 bits,
    // strtol would stop at LONG_MAX and 4294967297 would not be mode 1.
    return static_cast<int>(static_cast<std::uint32_t>(strtoll(argument, nullptr, 10)));
}
