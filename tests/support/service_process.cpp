#include "service_process.h"

#include "sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

constexpr uid_t kNobody = 65534;

// The binary is opened before root is given up: a checkout in a private
// directory (root's home, say) is out of reach for nobody. An emulator
// (a cross build's tests) is given the open binary by its /proc name.
[[noreturn]] void execService(const std::string& binary, const std::vector<std::string>& args,
                              int outFd, int errFd, const ServiceOptions& options) {
    const bool emulated = kEmulator[0] != '\0';
    const int program = open(binary.c_str(), O_PATH | (emulated ? 0 : O_CLOEXEC));
    const std::string programPath = emulated ? "/proc/self/fd/" + std::to_string(program) : binary;
    dup2(outFd, STDOUT_FILENO);
    dup2(options.oneStream ? outFd : errFd, STDERR_FILENO);
    for (const auto& variable : options.environment) putenv(const_cast<char*>(variable.c_str()));
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    if (options.fileLimit > 0) {
        const rlimit files{static_cast<rlim_t>(options.fileLimit), static_cast<rlim_t>(options.fileLimit)};
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(125);
    }
    if (options.unprivileged && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                                 setuid(kNobody) != 0 || chdir("/") != 0))
        _exit(126);
    std::vector<char*> argv;
    for (const auto& arg : options.wrapper) argv.push_back(const_cast<char*>(arg.c_str()));
    if (emulated) argv.push_back(const_cast<char*>(kEmulator));
    argv.push_back(const_cast<char*>(programPath.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (options.wrapper.empty() && !emulated)
        fexecve(program, argv.data(), environ);
    else
        execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace

int occupyPort(unsigned short port) {
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // past earlier tests' TIME_WAIT
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    EXPECT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(blocker, 1), 0);
    return blocker;
}

int occurrences(std::string_view haystack, std::string_view text) {
    int count = 0;
    for (auto pos = haystack.find(text); pos != std::string_view::npos;
         pos = haystack.find(text, pos + text.size()))
        ++count;
    return count;
}

std::string scanMessage(std::string_view data, std::size_t size) {
    return "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"size\":\t" + std::to_string(size) +
           ",\n\t\"Data\":\t\"" + std::string(data) + "\"\n}";
}

std::string scanMessage(std::string_view data) { return scanMessage(data, data.size()); }

ServiceProcess::ServiceProcess(std::vector<std::string> args, ServiceOptions options) {
    unlink("/dev/ttyUSB0");
    if (!options.scannerLink.empty()) {
        EXPECT_EQ(symlink(options.scannerLink.c_str(), "/dev/ttyUSB0"), 0);
    } else if (options.scannerPlugged) {
        scanner_ = std::make_unique<VirtualScanner>(options.scannerPath);
        EXPECT_TRUE(scanner_->pluggedIn()) << "no pty for the scanner";
    }
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) abort();
    struct stat journal {};
    if (options.journal && fstat(outPipe[1], &journal) == 0)
        options.environment.push_back("JOURNAL_STREAM=" + std::to_string(journal.st_dev) + ":" +
                                      std::to_string(journal.st_ino));

    const std::string binary = options.binary.empty() ? std::string(kServiceBinary) : options.binary;
    pid_ = fork();
    if (pid_ == 0) execService(binary, args, outPipe[1], errPipe[1], options);
    close(outPipe[1]);
    close(errPipe[1]);
    reader_ = std::thread([this, out = outPipe[0], err = errPipe[0]] { captureOutput(out, err); });
}

ServiceProcess::~ServiceProcess() {
    if (!exitStatus_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    scanner_.reset();
    reader_.join();
    EXPECT_EQ(err().find("Sanitizer"), std::string::npos) << "sanitizer report:\n" << err();
}

void ServiceProcess::captureOutput(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char chunk[65536];
    while (open > 0) {
        if (outputClosed_ && fds[0].fd >= 0) {
            close(fds[0].fd);
            fds[0].fd = -1;
            --open;
        }
        fds[0].events = outputPaused_ ? 0 : POLLIN;
        if (poll(fds, 2, 20) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0 || (i == 0 && outputPaused_)) continue;
            const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            (i == 0 ? out_ : err_).append(chunk, static_cast<std::size_t>(got));
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    outputEnded_ = true;
    changed_.notify_all();
}

void ServiceProcess::scan(std::string_view bytes, const Pacing& pacing) {
    EXPECT_TRUE(scanner_ && scanner_->type(bytes, pacing)) << "the scanner refused bytes";
}

void ServiceProcess::unplugScanner() { scanner_->unplug(); }

std::optional<int> ServiceProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exitStatus_) {
        int status = 0;
        const pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_)
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (std::chrono::steady_clock::now() >= deadline)
            break;
        else
            std::this_thread::sleep_for(5ms);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, 2s, [this] { return outputEnded_; });
    return exitStatus_;
}

bool ServiceProcess::waitForOutput(std::string_view text, int times, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return occurrences(out_, text) >= times; });
}

bool ServiceProcess::waitForError(std::string_view text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return err_.find(text) != std::string::npos; });
}

bool ServiceProcess::waitUntilServing(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return (occurrences(out_, "pthread_detach ") > 0 && occurrences(out_, "setup websocket") > 0) ||
               occurrences(out_, "\nlistening on ") > 0;
    });
}

std::string ServiceProcess::out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string ServiceProcess::err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

int ServiceProcess::countInOutput(std::string_view text) const { return occurrences(out(), text); }

int ServiceProcess::openDescriptors() const {
    int count = 0;
    if (DIR* fds = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
        while (const dirent* entry = readdir(fds)) count += entry->d_name[0] != '.';
        closedir(fds);
    }
    return count;
}

long ServiceProcess::residentKb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    long resident = -1;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
        if (line.rfind("VmRSS:", 0) == 0) resident = std::stol(line.substr(6));  // a kernel without RssAnon
    }
    return resident;
}
