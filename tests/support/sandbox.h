// Tests that run TirnSerial need private namespaces (see scripts/sandbox):
// the test program puts itself into them when it runs as root.
#pragma once

#include <gtest/gtest.h>

bool insideSandbox();

#define REQUIRE_SANDBOX()                                                                   \
    do {                                                                                    \
        if (!insideSandbox())                                                               \
            GTEST_SKIP() << "needs root: the service runs in private namespaces with its " \
                            "own /dev/ttyUSB0 and port 9010";                               \
    } while (0)
