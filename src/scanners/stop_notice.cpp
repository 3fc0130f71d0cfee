#include "stop_notice.h"

#include <atomic>
#include <cstdio>

void sayStopping() {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) puts("stopping: asked to end (SIGTERM or SIGINT); every scan read has been published");
}
