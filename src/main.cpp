// TirnSerial: relays barcode scans from the scanner on /dev/ttyUSB0 to the
// WebSocket clients on port 9010.
#include "options.h"
#include "relay_loop.h"
#include "server_thread.h"
#include "startup.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Under a service manager standard output is a pipe: buffer it fully and
// flush after each unit of work (see console.h). On a terminal, show each
// line as it comes.
void setUpConsole() {
    static char buffer[64 * 1024];
    setvbuf(stdout, buffer, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, sizeof buffer);
}

int shutDown(uid_t originalUid) {
    stopWebsocketServer();
    if (setuid(originalUid) != 0) {
        puts("recovery process user failed!");
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.verdict == CommandLineVerdict::Done) return 0;
    if (commandLine.verdict == CommandLineVerdict::Malformed) return kExitMalformedCommandLine;
    const Options& options = commandLine.options;

    setUpConsole();
    static RelayBuffers buffers;
    const StartupOutcome startup = runStartup(argc, argv, buffers, options);
    if (!startup.serve) return startup.exitStatus;

    websocket = nullptr;
    if (toStartSocetServers() < 0) puts("启动通讯服务失败，请检查");
    runRelayLoop(buffers, options);
    return shutDown(startup.originalUid);
}
