#include "scanners/serial_port.h"

#include "console/console_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int SerialHandle = -1;

namespace {

// Where OpenSerialPort keeps what its open call returned; each thread's own,
// since serial scanners on threads of their own may open at once.
thread_local int fd = 0;

speed_t speedFor(int baud) { return termiosSpeed(baud).value_or(B115200); }

void applyParity(termios& settings, char parity) {
    switch (static_cast<unsigned char>(parity)) {
    case 'E':
    case 'e':
        settings.c_cflag |= PARENB;
        settings.c_cflag &= ~PARODD;
        settings.c_iflag |= INPCK;
        break;
    case 'O':
    case 'o':
        settings.c_cflag |= PARENB | PARODD;
        settings.c_iflag |= INPCK;
        break;
    case 'S':
    case 's':
        // Space parity is not available here; it means "no parity bit",
        // but the device keeps its own input parity checking.
        settings.c_cflag &= ~PARENB;
        break;
    default:
        settings.c_cflag &= ~PARENB;
        settings.c_iflag &= ~INPCK;
        break;
    }
}

void applyFlow(termios& settings, FlowControl flow) {
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flow == FlowControl::RtsCts) settings.c_cflag |= CRTSCTS;
    if (flow != FlowControl::XonXoff) return;
    settings.c_iflag |= IXON | IXOFF;
    settings.c_cc[VSTART] = 0x11;
    settings.c_cc[VSTOP] = 0x13;
}

// The settings that `settingsFor` makes of the device's, applied.
template <class SettingsFor>
int applySettings(int descriptor, PendingInput pending, const SettingsFor& settingsFor) {
    termios device{};
    if (tcgetattr(descriptor, &device) != 0) {
        consoleErr(LineKind::Chatter, "tcgetattr: %s\n", strerror(errno));
        return -1;
    }
    termios settings = settingsFor(device);
    if (pending == PendingInput::Discard) tcflush(descriptor, TCIFLUSH);
    if (tcsetattr(descriptor, TCSANOW, &settings) == 0) return 0;
    // A driver that cannot run part of the line keeps its own for that part,
    // and tcsetattr succeeds as long as anything else changed. When nothing
    // did, because an earlier open left the port as close as it gets (each
    // reopen between scans, a service started again), the kernel says
    // EINVAL: the port's own line (data bits, parity, stop bits, speed,
    // flow) then stays, as at that first open, with the rest of the settings.
    if (errno == EINVAL) {
        settings.c_cflag = device.c_cflag;
        if (cfsetispeed(&settings, cfgetispeed(&device)) == 0 && cfsetospeed(&settings, cfgetospeed(&device)) == 0 &&
            tcsetattr(descriptor, TCSANOW, &settings) == 0)
            return 0;
    }
    consoleErr(LineKind::Chatter, "tcsetattr: %s\n", strerror(errno));
    return -1;
}

}  // namespace

int OpenSerialPort(int n) {
    if (static_cast<unsigned>(n) > 6) return -1;

    char name[20];
    snprintf(name, sizeof name, "/dev/ttyUSB%d", n);
    return OpenSerialPort(name);
}

int OpenSerialPort(const char* device) {
    consoleOut(LineKind::Chatter, "open %s\n", device);

    // Non-blocking so that the open does not wait for carrier detect.
    fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        consoleErr(LineKind::Chatter, "open serial port: %s\n", strerror(errno));
        return -1;
    }
    if (fcntl(fd, F_SETFL, 0) < 0) consoleErr(LineKind::Chatter, "fcntl F_SETFL\n: %s\n", strerror(errno));
    if (!isatty(0)) consoleErr(LineKind::Chatter, "standard input is not a terminal device: %s\n", strerror(errno));
    return fd;
}

termios comSettings(const termios& device, int baud, int dataBits, char parity, int stopBits) {
    termios settings = device;
    cfmakeraw(&settings);
    settings.c_cflag &= ~CSIZE;

    const speed_t speed = speedFor(baud);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);

    settings.c_cflag |= dataBits == 7 ? CS7 : CS8;
    applyParity(settings, parity);
    if (stopBits == 2)
        settings.c_cflag |= CSTOPB;
    else
        settings.c_cflag &= ~CSTOPB;

    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    return settings;
}

termios lineSettings(const termios& device, const SerialLine& line) {
    termios settings = comSettings(device, line.baud, line.dataBits, line.parity, line.stopBits);
    if (line.dataBits == 7) settings.c_iflag |= ISTRIP;
    // A byte that fails its parity check would otherwise be read as a zero
    // byte, which ends the scan's text there: drop it, and the rest of the
    // scan still arrives.
    if ((settings.c_iflag & INPCK) != 0) settings.c_iflag |= IGNPAR;
    applyFlow(settings, line.flow);
    return settings;
}

std::optional<SerialLine> lineOfPort(int descriptor) {
    termios port{};
    if (tcgetattr(descriptor, &port) != 0) return std::nullopt;
    SerialLine line;
    // Both ways at one speed of the table, or "another speed".
    line.baud = cfgetispeed(&port) == cfgetospeed(&port) ? baudOfSpeed(cfgetospeed(&port)).value_or(0) : 0;
    const tcflag_t size = port.c_cflag & CSIZE;
    line.dataBits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
    line.parity = (port.c_cflag & PARENB) == 0 ? 'N' : (port.c_cflag & PARODD) != 0 ? 'O' : 'E';
    line.stopBits = (port.c_cflag & CSTOPB) != 0 ? 2 : 1;
    line.flow = (port.c_cflag & CRTSCTS) != 0                         ? FlowControl::RtsCts
                : (port.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF) ? FlowControl::XonXoff
                                                                    : FlowControl::None;
    return line;
}

int set_com_config(int descriptor, int baud, int dataBits, char parity, int stopBits,
                   PendingInput pending) {
    return applySettings(descriptor, pending, [&](const termios& device) {
        return comSettings(device, baud, dataBits, parity, stopBits);
    });
}

int set_com_config(int descriptor, const SerialLine& line, PendingInput pending) {
    return applySettings(descriptor, pending, [&](const termios& device) { return lineSettings(device, line); });
}

namespace {

// The second half of init_com, once OpenSerialPort has answered: the new
// descriptor is closed when `configure` cannot apply its settings.
template <class Configure>
int configureOpenedPort(int opened, const Configure& configure) {
    if (opened < 0) {
        consoleErr(LineKind::Chatter, "OpenSerialPort: %s\n", strerror(errno));
        return -1;
    }
    consoleOut(LineKind::Chatter, "OpenPort is sucessful\n");
    if (configure(opened) < 0) {
        consoleErr(LineKind::Chatter, "set_com_config: %s\n", strerror(errno));
        close(opened);
        return -1;
    }
    return 0;
}

}  // namespace

int init_com(int n, int baud, int dataBits, char parity, int stopBits, PendingInput pending) {
    SerialHandle = OpenSerialPort(n);
    return configureOpenedPort(SerialHandle, [&](int port) {
        return set_com_config(port, baud, dataBits, parity, stopBits, pending);
    });
}

int init_com(const char* device, int baud, int dataBits, char parity, int stopBits,
             PendingInput pending) {
    SerialHandle = OpenSerialPort(device);
    return configureOpenedPort(SerialHandle, [&](int port) {
        return set_com_config(port, baud, dataBits, parity, stopBits, pending);
    });
}

int init_com(const char* device, const SerialLine& line, PendingInput pending) {
    SerialHandle = OpenSerialPort(device);
    return configureOpenedPort(SerialHandle, [&](int port) { return set_com_config(port, line, pending); });
}

int openOtherSerialPort(const char* device, const SerialLine& line, PendingInput pending) {
    const int opened = OpenSerialPort(device);
    const auto configure = [&](int port) { return set_com_config(port, line, pending); };
    return configureOpenedPort(opened, configure) == 0 ? opened : -1;
}
