#include "startup_advice.h"

#include "console/console_lines.h"

#include <string>

void adviseOnSecondCopy(pid_t other) {
    const std::string pid = other > 0 ? "pid " + std::to_string(other) : "its pid unknown";
    consoleErr(LineKind::Error,
               "TirnSerial: another TirnSerial runs already (%s): one process serves several scanners, so give "
               "that one this scanner with another --device, or stop it first\n",
               pid.c_str());
}

void adviseOnMissingRoot() {
    consoleErr(LineKind::Error,
               "TirnSerial: cannot become root: start it as root (sudo TirnSerial MODE, or systemctl start "
               "tirnserial@MODE)\n");
}
