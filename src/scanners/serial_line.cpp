#include "scanners/serial_line.h"

#include <cctype>
#include <cstddef>
#include <utility>

namespace {

constexpr std::pair<int, speed_t> kSpeeds[] = {
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool allDigits(const std::string& text) {
    if (text.empty() || text.size() > 7) return false;
    for (const char c : text)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// One field of a device's settings into `line`; `given` marks which of the
// three kinds came already.
bool applyField(const std::string& field, SerialLine& line, bool given[3], std::string& problem) {
    int kind;
    if (const auto baud = parseBaud(field)) {
        kind = 0;
        line.baud = *baud;
    } else if (parseSerialFormat(field, line)) {
        kind = 1;
    } else if (const auto flow = parseFlowControl(field)) {
        kind = 2;
        line.flow = *flow;
    } else {
        problem = "'" + field + "' is no speed (1200 to 4000000, as --baud), format (8N1, 7E1 ...) nor flow control "
                  "(none, rtscts, xonxoff)";
        return false;
    }
    if (given[kind]) {
        static const char* const kNames[] = {"speed", "format", "flow control"};
        problem = std::string("a second ") + kNames[kind] + " '" + field + "'";
        return false;
    }
    given[kind] = true;
    return true;
}

}  // namespace

std::optional<speed_t> termiosSpeed(int baud) {
    for (const auto& [rate, constant] : kSpeeds)
        if (rate == baud) return constant;
    return std::nullopt;
}

std::optional<int> baudOfSpeed(speed_t speed) {
    for (const auto& [rate, constant] : kSpeeds)
        if (constant == speed) return rate;
    return std::nullopt;
}

std::optional<int> parseBaud(const std::string& text) {
    if (!allDigits(text)) return std::nullopt;
    const int baud = std::stoi(text);
    if (!termiosSpeed(baud)) return std::nullopt;
    return baud;
}

bool parseSerialFormat(const std::string& text, SerialLine& line) {
    if (text.size() != 3) return false;
    const char parity = static_cast<char>(toupper(static_cast<unsigned char>(text[1])));
    if ((text[0] != '7' && text[0] != '8') || (parity != 'N' && parity != 'E' && parity != 'O') ||
        (text[2] != '1' && text[2] != '2'))
        return false;
    line.dataBits = text[0] - '0';
    line.parity = parity;
    line.stopBits = text[2] - '0';
    return true;
}

std::optional<FlowControl> parseFlowControl(const std::string& text) {
    if (text == "none") return FlowControl::None;
    if (text == "rtscts") return FlowControl::RtsCts;
    if (text == "xonxoff") return FlowControl::XonXoff;
    return std::nullopt;
}

bool applyLineSettings(const std::string& fields, SerialLine& line, std::string& problem) {
    bool given[3] = {false, false, false};
    for (std::size_t start = 0;;) {
        const std::size_t comma = fields.find(',', start);
        if (!applyField(fields.substr(start, comma - start), line, given, problem)) return false;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string describeLine(const SerialLine& line) {
    static const char* const kFlows[] = {"none", "rtscts", "xonxoff"};
    const std::string speed = line.baud > 0 ? std::to_string(line.baud) + " bit/s" : "another speed";
    return speed + ", " + std::to_string(line.dataBits) + line.parity + std::to_string(line.stopBits) + ", " +
           kFlows[static_cast<int>(line.flow)];
}

std::chrono::milliseconds threeCharacterTimes(const SerialLine& line) {
    const long bits = 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
    return std::chrono::milliseconds((3 * bits * 1000 + line.baud - 1) / line.baud);
}
