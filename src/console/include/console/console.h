// The console component: the service's one way to speak, and which lines
// are shown (console_lines.h). It uses the utf8 component and no other.
//
// The running commentary on standard output and standard error. Scans must
// never wait for it: a paused terminal or a stuck log pipe would otherwise
// stop the relay in the middle of a line. Both streams write into one
// bounded buffer, in the order things were printed, that a thread of its own
// hands on to the real descriptors; when it is full, lines are dropped, and
// how many is reported once output flows again.
//
// Standard output is fully buffered under a service manager, so that a scan
// sent to many subscribers costs one hand-over, not one per line: every unit
// of work that prints ends with flushConsole().
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

inline void flushConsole() { std::fflush(stdout); }

// Points stdout and stderr at the buffers; undone by the destructor, which
// first waits, for a bounded time, until what was printed has been written.
class Console {
public:
    static constexpr std::size_t kBufferBytes = 1 << 20;

    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
};

// A client's bytes as they may be shown on one console line: printable text
// and valid UTF-8 as they are, line breaks, tabs and other control bytes as
// \n, \r, \t or \xHH, and so are bytes that are not UTF-8. Stops at the
// first zero byte.
std::string escapedForConsole(const char* bytes, std::size_t length);
