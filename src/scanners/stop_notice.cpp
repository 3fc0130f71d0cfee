#include "stop_notice.h"

#include "console/console_lines.h"

#include <atomic>
#include <cstdio>

void sayStopping() {
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        consoleOut(LineKind::Event, "stopping: asked to end (SIGTERM or SIGINT); every scan read has been published\n");
}
