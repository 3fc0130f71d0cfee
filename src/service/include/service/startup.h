// Start-up: may this process serve at all?
#pragma once

#include <sys/types.h>

struct Options;
struct RelayBuffers;

struct StartupOutcome {
    bool serve;         // go on with serving; otherwise exit with exitStatus
    int exitStatus;
    uid_t originalUid;  // the real user id before the switch to root
};

// One instance only, root rights, a valid conversion mode (the first
// argument) and an open data port, in that order; clears the relay buffers.
// A missing or unsupported mode exits with 2, like a bad option; the other
// failures with 255. Each failure's last line says what to do.
StartupOutcome runStartup(int argc, char** argv, RelayBuffers& buffers, const Options& options);
