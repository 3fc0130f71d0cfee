#include "service/process_policy.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>

namespace {

int terminationFd = -1;
constexpr rlim_t kReservedDescriptors = 32;

void onTermination(int) {
    const std::uint64_t one = 1;
    const ssize_t ignored = write(terminationFd, &one, sizeof one);  // async-signal-safe
    (void)ignored;
}

}  // namespace

void ignoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

int stopOnTermination() {
    if (terminationFd >= 0) return terminationFd;
    terminationFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onTermination;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress wakes up and looks at the descriptor.
    for (const int signal : {SIGTERM, SIGINT}) sigaction(signal, &action, nullptr);
    return terminationFd;
}

void reserveHangupForTheServer() {
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
}

std::size_t clientCapacity() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024 - kReservedDescriptors;
    if (files.rlim_cur < files.rlim_max) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
    }
    if (files.rlim_cur <= kReservedDescriptors) return 1;
    return static_cast<std::size_t>(
        std::min<rlim_t>(files.rlim_cur - kReservedDescriptors, std::numeric_limits<std::size_t>::max()));
}
