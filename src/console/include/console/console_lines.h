// What each console line is worth, and which lines are shown (--log). Every
// line the service prints goes through consoleOut or consoleErr with its
// kind, so that what is shown is decided here only.
//
// Where a stream is the journal (JOURNAL_STREAM, see sd-daemon(3)), each of
// its lines begins with its kind's syslog priority ("<4>"), which the
// journal takes off and files it under: `journalctl -p warning` then shows
// the warnings and errors.
#pragma once

enum class LineKind {
    Chatter,     // a step of the work (a connection, a send, a port reopened): --log all only
    EventsOnly,  // an English line that --log events shows in the place of the chatter saying the same
    Event,       // what an admin follows: a scanner gone or back, the broker up or down
    Warning,
    Error,
};

enum class LogLevel {
    All,       // every line, as always (no EventsOnly line)
    Events,    // events, warnings and errors: no chatter, and never a scan's content
    Warnings,  // warnings and errors only
};

// From now on; before the first call every line is shown.
void setLogLevel(LogLevel level);

// Prints a line (or lines) of this kind on standard output or standard
// error, if the level shows it. Never changes errno.
void consoleOut(LineKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
void consoleErr(LineKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

// What a line of this kind on that descriptor begins with: its priority
// where the descriptor is the journal, else nothing.
const char* journalPrefix(int fd, LineKind kind);
