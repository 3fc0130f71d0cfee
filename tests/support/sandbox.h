// Tests that run TirnSerial need private namespaces (see scripts/sandbox):
// the test program puts itself into them when it runs as root.
#pragma once

#include <gtest/gtest.h>

#include "build_paths.h"

bool insideSandbox();

// For a test that cannot run under the emulator, and why.
#define SKIP_UNDER_EMULATION(why)                                    \
    do {                                                             \
        if (kEmulator[0] != '\0') GTEST_SKIP() << "under emulation: " << why; \
    } while (0)

#define REQUIRE_SANDBOX()                                                                   \
    do {                                                                                    \
        if (!insideSandbox())                                                               \
            GTEST_SKIP() << "needs root: the service runs in private namespaces with its " \
                            "own /dev/ttyUSB0 and port 9010";                               \
    } while (0)
