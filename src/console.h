// The running commentary on standard output is fully buffered so that a scan
// sent to many subscribers costs one write, not one per line. Every unit of
// work that prints ends by handing its lines on.
#pragma once

#include <cstdio>

inline void flushConsole() { std::fflush(stdout); }
