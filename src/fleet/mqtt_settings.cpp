#include "fleet/mqtt_settings.h"

#include "console/console_lines.h"
#include "secrets/token_file.h"
#include "utf8/utf8.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

namespace {

constexpr std::string_view kScannerLevel = "{scanner}";

// Where the whole level {scanner} begins in `topic`; npos without one.
std::size_t scannerLevelAt(const std::string& topic) {
    for (std::size_t at = topic.find(kScannerLevel); at != std::string::npos; at = topic.find(kScannerLevel, at + 1)) {
        const std::size_t end = at + kScannerLevel.size();
        if ((at == 0 || topic[at - 1] == '/') && (end == topic.size() || topic[end] == '/')) return at;
    }
    return std::string::npos;
}

}  // namespace

// Beside the scans' topic; with a topic per scanner, beside the scanners'
// level (shop/{scanner}/scans: shop/status), where one subscription sees
// the box's status whatever its scanners are called.
std::string MqttSettings::statusTopic() const {
    const std::size_t level = scannerLevelAt(topic);
    if (level != std::string::npos) return topic.substr(0, level) + "status";
    const auto slash = topic.rfind('/');
    return (slash == std::string::npos ? std::string() : topic.substr(0, slash + 1)) + "status";
}

bool MqttSettings::topicPerScanner() const { return scannerLevelAt(topic) != std::string::npos; }

// A scanner kept in the outbox from before it had a name is its path: its
// slashes would make levels of their own, and + and # are no topic's.
std::string MqttSettings::topicFor(const std::string& scanner) const {
    const std::size_t level = scannerLevelAt(topic);
    if (level == std::string::npos) return topic;
    std::string asLevel = scanner.empty() ? "_" : scanner;
    for (char& c : asLevel)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return topic.substr(0, level) + asLevel + topic.substr(level + kScannerLevel.size());
}

bool scannerLevelWhole(const std::string& topic) {
    const std::size_t level = scannerLevelAt(topic);
    const std::size_t any = topic.find(kScannerLevel);
    return any == std::string::npos || (level == any && topic.find(kScannerLevel, level + 1) == std::string::npos);
}

bool parseBrokerUrl(const std::string& url, MqttSettings& settings) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        settings.tls = false;
        settings.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        settings.tls = true;
        settings.port = 8883;
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.empty() || rest.find_first_of("/@?#") != std::string::npos) return false;
    std::string portText;
    if (rest.front() == '[') {  // [IPv6]:port
        const auto close = rest.find(']');
        if (close == std::string::npos) return false;
        settings.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            portText = rest.substr(close + 2);
        }
    } else {
        const auto colon = rest.find(':');
        settings.host = rest.substr(0, colon);
        if (colon != std::string::npos) portText = rest.substr(colon + 1);
    }
    if (settings.host.empty()) return false;
    if (!portText.empty()) {
        char* end = nullptr;
        const long port = strtol(portText.c_str(), &end, 10);
        if (*end != '\0' || port < 1 || port > 65535) return false;
        settings.port = static_cast<int>(port);
    }
    settings.url = url;
    return true;
}

std::string defaultScanTopic() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') strcpy(host, "localhost");
    return std::string("tirnserial/") + host + "/scan";
}

std::string defaultClientId() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') strcpy(host, "localhost");
    std::string machine;
    std::getline(std::ifstream("/etc/machine-id"), machine);
    return std::string("tirnserial-") + host + (machine.size() >= 8 ? "-" + machine.substr(0, 8) : "");
}

bool validMqttString(const std::string& text, std::size_t maxBytes) {
    return !text.empty() && text.size() <= maxBytes && text.find('\0') == std::string::npos &&
           isValidUtf8(text.data(), text.size());
}

bool publishableTopic(const std::string& topic) {
    // MQTT's own limits: a broker refuses anything else, and the service
    // would reconnect forever without publishing a scan. The status topic
    // beside it is 7 bytes longer.
    return validMqttString(topic, 65535 - 7) && topic.find_first_of("+#") == std::string::npos;
}

bool readMqttCredentials(MqttSettings& settings) {
    if (settings.credentials.empty()) return true;
    std::ifstream file(settings.credentials);
    if (!file) {
        consoleErr(LineKind::Error, "TirnSerial: cannot read the MQTT credentials %s: %s\n",
                   settings.credentials.c_str(), strerror(errno));
        return false;
    }
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
        consoleErr(LineKind::Error, "TirnSerial: the MQTT credentials %s need user:password on their first line\n",
                   settings.credentials.c_str());
        return false;
    }
    settings.user = line.substr(0, colon);
    settings.password = line.substr(colon + 1);
    warnIfOthersCanRead(settings.credentials, "MQTT credentials");
    return true;
}
