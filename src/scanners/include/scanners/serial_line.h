// How a serial scanner's line is set: speed, character format and flow
// control, as --baud, --serial-format and --flow give them for every serial
// scanner, and a --device after its path for its own.
#pragma once

#include <termios.h>

#include <chrono>
#include <optional>
#include <string>

enum class FlowControl { None, RtsCts, XonXoff };

struct SerialLine {
    int baud = 115200;
    int dataBits = 8;   // 7 or 8
    char parity = 'N';  // N, E or O
    int stopBits = 1;   // 1 or 2
    FlowControl flow = FlowControl::None;
};

// The termios constant of a speed from 1200 to 4000000 bit/s that termios
// offers; nothing for any other.
std::optional<speed_t> termiosSpeed(int baud);
// The other way: the speed in bit/s of a termios constant of that table.
std::optional<int> baudOfSpeed(speed_t speed);

// "9600": a speed termios offers from 1200 bit/s.
std::optional<int> parseBaud(const std::string& text);
// "7E1": data bits (7 or 8), parity (N, E or O, either case), stop bits (1
// or 2); taken into `line`. False for anything else.
bool parseSerialFormat(const std::string& text, SerialLine& line);
// "none", "rtscts" or "xonxoff".
std::optional<FlowControl> parseFlowControl(const std::string& text);

// A device's own settings, the text after the comma behind its path:
// comma-separated fields, each a speed, a format or a flow control, in any
// order, each at most once. What they set goes into `line`; false, with
// `problem` saying why, for a field that is none of them or comes twice.
bool applyLineSettings(const std::string& fields, SerialLine& line, std::string& problem);

// "9600 bit/s, 7E1, rtscts": the line as the options name its parts.
std::string describeLine(const SerialLine& line);

// Three characters' time on the line, start and stop bits included,
// rounded up to the millisecond: the least silence that may end a scan.
std::chrono::milliseconds threeCharacterTimes(const SerialLine& line);
