#include "console.h"

#include "utf8.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr auto kDrainPatience = std::chrono::seconds(2);

// What was printed on both streams, in the order it was printed, and the
// thread that writes it out: where both go to one place (the journal, a
// pipe), lines keep their order.
class ConsoleWriter {
public:
    ConsoleWriter() : writer_([this] { writeOut(); }) {}

    // Waits, for a bounded time, until what was appended has been written,
    // and ends the writer. False when the writer is stuck on a descriptor
    // that nobody reads: it is then left to the process's exit, and so is
    // this buffer.
    bool finish() {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            keepUnfinished(STDOUT_FILENO);
            keepUnfinished(STDERR_FILENO);
            wake_.notify_one();
            drained_.wait_for(lock, kDrainPatience, [this] { return pending_.empty() && !writing_; });
            stopping_ = true;
        }
        wake_.notify_all();
        if (!finished_.wait_for(kDrainPatience)) {
            writer_.detach();
            return false;
        }
        writer_.join();
        return true;
    }

    // Never blocks on a descriptor. The stream's buffer hands over what it
    // holds when it is full, cut anywhere: only whole lines are kept or
    // dropped, and the start of an unfinished one waits for its end.
    void append(int fd, const char* bytes, std::size_t size) {
        const char* pastLines = lastLineEnd(bytes, size);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::string& unfinished = unfinished_[fd == STDERR_FILENO];
            if (pastLines == bytes) {
                unfinished.append(bytes, size);
                return;
            }
            std::string lines = std::move(unfinished);
            lines.append(bytes, pastLines);
            unfinished.assign(pastLines, bytes + size);
            if (!keep(fd, lines)) return;
        }
        wake_.notify_one();
    }

private:
    struct Chunk {
        int fd;
        std::string bytes;
    };
    struct Flag {
        std::mutex mutex;
        std::condition_variable changed;
        bool set = false;
        bool wait_for(std::chrono::seconds patience) {
            std::unique_lock<std::mutex> lock(mutex);
            return changed.wait_for(lock, patience, [this] { return set; });
        }
        void raise() {
            std::lock_guard<std::mutex> lock(mutex);
            set = true;
            changed.notify_all();
        }
    };

    // Just past the last line break, or `bytes` when there is none.
    static const char* lastLineEnd(const char* bytes, std::size_t size) {
        const void* found = size > 0 ? memrchr(bytes, '\n', size) : nullptr;
        return found ? static_cast<const char*>(found) + 1 : bytes;
    }

    // Whole lines into the buffer, or counted as dropped when they do not fit.
    bool keep(int fd, const std::string& lines) {
        if (pendingBytes_ + lines.size() > Console::kBufferBytes) {
            dropped_ += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
            return false;
        }
        if (pending_.empty() || pending_.back().fd != fd) pending_.push_back(Chunk{fd, {}});
        pending_.back().bytes += lines;
        pendingBytes_ += lines.size();
        return true;
    }

    // What was printed last without a line break, as it is.
    void keepUnfinished(int fd) {
        std::string& unfinished = unfinished_[fd == STDERR_FILENO];
        if (!unfinished.empty()) keep(fd, std::exchange(unfinished, ""));
    }

    void writeOut() {
        std::vector<Chunk> out;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                writing_ = false;
                drained_.notify_all();
                wake_.wait(lock, [this] { return !pending_.empty() || stopping_; });
                if (pending_.empty()) break;
                out.swap(pending_);
                pendingBytes_ = 0;
                writing_ = true;
                if (dropped_ > 0) {
                    out.push_back(Chunk{STDOUT_FILENO, "[console: " + std::to_string(dropped_) +
                                                           " lines dropped while output was blocked]\n"});
                    dropped_ = 0;
                }
            }
            for (const Chunk& chunk : out) writeAll(chunk.fd, chunk.bytes);
            out.clear();
        }
        finished_.raise();
    }

    // A reader that has gone (a closed pipe) or a full disk loses the
    // commentary, never the service: SIGPIPE is ignored, and the error ends
    // this chunk.
    static void writeAll(int fd, const std::string& out) {
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t written = write(fd, out.data() + done, out.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;  // nobody to tell
            done += static_cast<std::size_t>(written);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::vector<Chunk> pending_;
    std::size_t pendingBytes_ = 0;
    std::string unfinished_[2];  // the start of a line on stdout, on stderr
    std::size_t dropped_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    Flag finished_;
    std::thread writer_;
};

// A printable character beyond ASCII: well-formed UTF-8 and not one of the
// control characters U+0080 to U+009F.
std::size_t printableUtf8(const unsigned char* bytes, std::size_t left) {
    if (bytes[0] < 0x80 || (bytes[0] == 0xC2 && left > 1 && bytes[1] < 0xA0)) return 0;
    return utf8SequenceLength(bytes, left);
}

ConsoleWriter* writer = nullptr;
FILE* realStdout = nullptr;
FILE* realStderr = nullptr;

ssize_t appendToOut(void*, const char* bytes, size_t size) {
    writer->append(STDOUT_FILENO, bytes, size);
    return static_cast<ssize_t>(size);
}

// Standard output is buffered, standard error is not: what was printed on
// the former goes first, so that the two keep the order they were printed in.
ssize_t appendToErr(void*, const char* bytes, size_t size) {
    fflush(stdout);
    writer->append(STDERR_FILENO, bytes, size);
    return static_cast<ssize_t>(size);
}

FILE* bufferedStream(cookie_write_function_t* write) {
    cookie_io_functions_t functions{};
    functions.write = write;
    return fopencookie(nullptr, "w", functions);
}

}  // namespace

Console::Console() {
    static char lines[64 * 1024];
    const bool terminal = isatty(STDOUT_FILENO);
    writer = new ConsoleWriter();
    realStdout = stdout;
    realStderr = stderr;
    stdout = bufferedStream(appendToOut);
    stderr = bufferedStream(appendToErr);
    // On a terminal each line shows as it comes.
    setvbuf(stdout, lines, terminal ? _IOLBF : _IOFBF, sizeof lines);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

Console::~Console() {
    fclose(stdout);
    fclose(stderr);
    stdout = realStdout;
    stderr = realStderr;
    if (writer->finish()) delete writer;
    writer = nullptr;
}

std::string escapedForConsole(const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::string shown;
    for (std::size_t i = 0; i < length && bytes[i] != 0;) {
        const unsigned char byte = bytes[i];
        if (byte >= 0x20 && byte < 0x7F) {
            shown += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t sequence = printableUtf8(bytes + i, length - i)) {
            shown.append(text + i, sequence);
            i += sequence;
        } else {
            static const char hex[] = "0123456789abcdef";
            if (byte == '\n') shown += "\\n";
            else if (byte == '\r') shown += "\\r";
            else if (byte == '\t') shown += "\\t";
            else shown += {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
            ++i;
        }
    }
    return shown;
}
