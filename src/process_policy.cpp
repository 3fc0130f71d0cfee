#include "process_policy.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <initializer_list>

namespace {

int terminationFd = -1;

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
