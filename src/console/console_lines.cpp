#include "console/console_lines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::atomic<LogLevel> level{LogLevel::All};

bool shown(LineKind kind) {
    switch (level.load(std::memory_order_relaxed)) {
    case LogLevel::All: return kind != LineKind::EventsOnly;
    case LogLevel::Events: return kind != LineKind::Chatter;
    case LogLevel::Warnings: return kind == LineKind::Warning || kind == LineKind::Error;
    }
    return true;
}

// sd-daemon.h's SD_DEBUG, SD_INFO, SD_WARNING and SD_ERR.
const char* priority(LineKind kind) {
    switch (kind) {
    case LineKind::Chatter: return "<7>";
    case LineKind::EventsOnly:
    case LineKind::Event: return "<6>";
    case LineKind::Warning: return "<4>";
    case LineKind::Error: return "<3>";
    }
    return "";
}

// Whether the descriptor is the stream the service manager connected to
// the journal: JOURNAL_STREAM names its device and inode.
bool isJournal(int fd) {
    const char* stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    struct stat status {};
    return sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(fd, &status) == 0 &&
           static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

struct Journal {
    bool stdoutIs = isJournal(STDOUT_FILENO);
    bool stderrIs = isJournal(STDERR_FILENO);
};

const Journal& journal() {
    static const Journal found;
    return found;
}

std::string formatted(const char* format, va_list args) {
    char small[256];
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (length < 0) {
        va_end(again);
        return text;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(length));
    } else {
        text.resize(static_cast<std::size_t>(length));
        vsnprintf(&text[0], text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

// Both streams' lines, each whole, in the order printed; and, for each
// stream, whether it is inside a line (printed without its end), which
// takes no prefix, and of what kind that line is.
std::mutex printing;
struct OpenLine {
    bool open = false;
    LineKind kind = LineKind::Chatter;
};
OpenLine openLines[2];

// Under a service manager both streams are one connection to the journal,
// so a line left open on one is continued by the other.
OpenLine& openLineOf(int fd) {
    const bool oneStream = journal().stdoutIs && journal().stderrIs;
    return openLines[!oneStream && fd == STDERR_FILENO];
}

void print(FILE* stream, int fd, LineKind kind, const char* format, va_list args) {
    if (!shown(kind)) return;
    const int savedErrno = errno;
    const std::string text = formatted(format, args);
    const char* prefix = journalPrefix(fd, kind);
    std::lock_guard<std::mutex> lock(printing);
    if (*prefix == '\0') {
        fwrite(text.data(), 1, text.size(), stream);
    } else {
        std::string lines;
        OpenLine& line = openLineOf(fd);
        // A line of another kind ends the one left open, which would
        // otherwise file it under that line's priority.
        if (line.open && line.kind != kind) lines += '\n';
        line.open = line.open && line.kind == kind;
        for (const char c : text) {
            if (!line.open) lines += prefix;
            lines += c;
            line.open = c != '\n';
        }
        line.kind = kind;
        fwrite(lines.data(), 1, lines.size(), stream);
    }
    errno = savedErrno;
}

}  // namespace

void setLogLevel(LogLevel chosen) { level = chosen; }

void consoleOut(LineKind kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print(stdout, STDOUT_FILENO, kind, format, args);
    va_end(args);
}

void consoleErr(LineKind kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print(stderr, STDERR_FILENO, kind, format, args);
    va_end(args);
}

const char* journalPrefix(int fd, LineKind kind) {
    const bool isJournal = fd == STDERR_FILENO ? journal().stderrIs : journal().stdoutIs;
    return isJournal ? priority(kind) : "";
}
