#include "serial_port.h"

#include "console_lines.h"

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

speed_t speedFor(int baud) {
    switch (baud) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B115200;
    }
}

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

int set_com_config(int descriptor, int baud, int dataBits, char parity, int stopBits,
                   PendingInput pending) {
    termios device{};
    if (tcgetattr(descriptor, &device) != 0) {
        consoleErr(LineKind::Chatter, "tcgetattr: %s\n", strerror(errno));
        return -1;
    }
    const termios settings = comSettings(device, baud, dataBits, parity, stopBits);
    if (pending == PendingInput::Discard) tcflush(descriptor, TCIFLUSH);
    if (tcsetattr(descriptor, TCSANOW, &settings) != 0) {
        consoleErr(LineKind::Chatter, "tcsetattr: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

namespace {

// The second half of init_com, once OpenSerialPort has answered: the new
// descriptor is closed when its settings cannot be applied.
int configureOpenedPort(int opened, int baud, int dataBits, char parity, int stopBits,
                        PendingInput pending) {
    if (opened < 0) {
        consoleErr(LineKind::Chatter, "OpenSerialPort: %s\n", strerror(errno));
        return -1;
    }
    consoleOut(LineKind::Chatter, "OpenPort is sucessful\n");
    if (set_com_config(opened, baud, dataBits, parity, stopBits, pending) < 0) {
        consoleErr(LineKind::Chatter, "set_com_config: %s\n", strerror(errno));
        close(opened);
        return -1;
    }
    return 0;
}

}  // namespace

int init_com(int n, int baud, int dataBits, char parity, int stopBits, PendingInput pending) {
    SerialHandle = OpenSerialPort(n);
    return configureOpenedPort(SerialHandle, baud, dataBits, parity, stopBits, pending);
}

int init_com(const char* device, int baud, int dataBits, char parity, int stopBits,
             PendingInput pending) {
    SerialHandle = OpenSerialPort(device);
    return configureOpenedPort(SerialHandle, baud, dataBits, parity, stopBits, pending);
}

int openOtherSerialPort(const char* device, PendingInput pending) {
    const int opened = OpenSerialPort(device);
    return configureOpenedPort(opened, 115200, 8, 'N', 1, pending) == 0 ? opened : -1;
}
