#include "console/console.h"

#include "console/console_lines.h"
#include "utf8/utf8.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Beyond the bound, what the lines begun within it may still take.
constexpr std::size_t kLineRoom = 64 * 1024;

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

    // Never blocks on a descriptor. A stream's buffer is handed over when it
    // is full, cut anywhere: each line is kept or dropped whole, as its
    // start was.
    void append(int fd, const char* bytes, std::size_t size) {
        bool kept = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Stream& stream = streams_[fd == STDERR_FILENO];
            for (const char *at = bytes, *end = bytes + size; at < end;) {
                const void* lineEnd = memchr(at, '\n', static_cast<std::size_t>(end - at));
                const char* next = lineEnd ? static_cast<const char*>(lineEnd) + 1 : end;
                kept |= take(fd, stream, at, static_cast<std::size_t>(next - at));
                stream.midLine = lineEnd == nullptr;
                at = next;
            }
        }
        if (kept) wake_.notify_one();
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

    // Where each stream is: inside a line, and whether that one is dropped.
    struct Stream {
        bool midLine = false;
        bool dropping = false;
    };

    // A line, or a piece of one. The start of a line decides, and says
    // first how many lines went before it; but a line printed in pieces
    // that never end (one for each empty message a client sends, say) is
    // cut past the bound and some room for the rest of the lines under way,
    // ended there and counted with the dropped.
    bool take(int fd, Stream& stream, const char* piece, std::size_t size) {
        if (!stream.midLine) {
            stream.dropping = pendingBytes_ + size > Console::kBufferBytes;
            if (stream.dropping) ++dropped_;
            else if (const std::string notice = dropNotice(); !notice.empty())
                add(STDOUT_FILENO, notice.data(), notice.size());
        } else if (!stream.dropping && pendingBytes_ + size > Console::kBufferBytes + kLineRoom) {
            stream.dropping = true;
            ++dropped_;
            add(fd, "\n", 1);
            return true;
        }
        if (!stream.dropping) add(fd, piece, size);
        return !stream.dropping;
    }

    void add(int fd, const char* bytes, std::size_t size) {
        if (pending_.empty() || pending_.back().fd != fd) pending_.push_back(Chunk{fd, {}});
        pending_.back().bytes.append(bytes, size);
        pendingBytes_ += size;
    }

    // How many lines were dropped, once; only where a line of standard
    // output may begin.
    std::string dropNotice() {
        if (dropped_ == 0 || streams_[0].midLine) return "";
        return journalPrefix(STDOUT_FILENO, LineKind::Warning) + ("[console: " +
               std::to_string(std::exchange(dropped_, 0)) + " lines dropped while output was blocked]\n");
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
                if (std::string notice = dropNotice(); !notice.empty())
                    out.push_back(Chunk{STDOUT_FILENO, std::move(notice)});
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
    Stream streams_[2];  // standard output, standard error
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
