#include "console.h"

#include "utf8.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr auto kDrainPatience = std::chrono::seconds(2);

// One stream's buffer and the thread that writes it out.
class StreamBuffer {
public:
    explicit StreamBuffer(int fd) : fd_(fd), writer_([this] { writeOut(); }) {}

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

    // Never blocks on the descriptor.
    void append(const char* bytes, std::size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.size() + size > Console::kBufferBytes) {
                dropped_ += static_cast<std::size_t>(std::count(bytes, bytes + size, '\n'));
                return;
            }
            pending_.append(bytes, size);
        }
        wake_.notify_one();
    }

private:
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

    void writeOut() {
        std::string out;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                writing_ = false;
                drained_.notify_all();
                wake_.wait(lock, [this] { return !pending_.empty() || stopping_; });
                if (pending_.empty()) break;
                out.swap(pending_);
                pending_.clear();
                writing_ = true;
                if (dropped_ > 0) {
                    out += "[console: " + std::to_string(dropped_) + " lines dropped while output was blocked]\n";
                    dropped_ = 0;
                }
            }
            writeAll(out);
            out.clear();
        }
        finished_.raise();
    }

    void writeAll(const std::string& out) {
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t written = write(fd_, out.data() + done, out.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;  // nobody to tell
            done += static_cast<std::size_t>(written);
        }
    }

    const int fd_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::string pending_;
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

ssize_t appendTo(void* cookie, const char* bytes, size_t size) {
    static_cast<StreamBuffer*>(cookie)->append(bytes, size);
    return static_cast<ssize_t>(size);
}

FILE* bufferedStream(StreamBuffer* buffer) {
    cookie_io_functions_t functions{};
    functions.write = appendTo;
    return fopencookie(buffer, "w", functions);
}

StreamBuffer* outBuffer = nullptr;
StreamBuffer* errBuffer = nullptr;
FILE* realStdout = nullptr;
FILE* realStderr = nullptr;

}  // namespace

Console::Console() {
    static char lines[64 * 1024];
    const bool terminal = isatty(STDOUT_FILENO);
    outBuffer = new StreamBuffer(STDOUT_FILENO);
    errBuffer = new StreamBuffer(STDERR_FILENO);
    realStdout = stdout;
    realStderr = stderr;
    stdout = bufferedStream(outBuffer);
    stderr = bufferedStream(errBuffer);
    // On a terminal each line shows as it comes.
    setvbuf(stdout, lines, terminal ? _IOLBF : _IOFBF, sizeof lines);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

Console::~Console() {
    fclose(stdout);
    fclose(stderr);
    stdout = realStdout;
    stderr = realStderr;
    for (StreamBuffer* buffer : {outBuffer, errBuffer})
        if (buffer->finish()) delete buffer;
    outBuffer = errBuffer = nullptr;
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
