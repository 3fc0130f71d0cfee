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
StartupOutcome runStartup(int argc, char** argv, RelayBuffers& buffers, const Options& options);
