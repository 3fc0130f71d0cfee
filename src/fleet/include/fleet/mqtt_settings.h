// Where scans go besides the WebSocket clients: an MQTT broker, for fleets
// of boxes that a central system watches.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

struct MqttSettings {
    std::string url;         // as given: mqtt://host:port or mqtts://host:port
    std::string host;
    int port = 1883;
    bool tls = false;        // mqtts://
    std::string credentials; // a file: user:password on its first line
    std::string user, password;
    // mqtts:// only: the CA that vouches for the broker, instead of the
    // system's, and this box's own certificate for brokers that ask for one.
    std::string caFile;
    std::string certificate, key;
    // Default tirnserial/<hostname>/scan. A whole level {scanner} stands for
    // the name of the scanner of each scan: a topic per scanner.
    std::string topic;
    int qos = 1;
    // Scans kept while the broker is away; the oldest go first.
    std::size_t queueLimit = 10000;
    // The same on every start of this box, so that a new connection takes
    // the place of one the broker still thinks alive.
    std::string clientId;    // default tirnserial-<hostname>-<machine id>
    // Where scans wait for the broker across restarts.
    std::string stateDir = "/var/lib/tirnserial";

    bool enabled() const { return !url.empty(); }
    // The retained online/offline message: beside the scans' topic, or the
    // {scanner} level's place.
    std::string statusTopic() const;
    bool topicPerScanner() const;
    // Where a scan of this scanner (its name, or a path) goes.
    std::string topicFor(const std::string& scanner) const;
};

// Host and port of mqtt://host[:port] or mqtts://host[:port] (IPv6 in
// brackets) into `settings`; false if it is neither.
bool parseBrokerUrl(const std::string& url, MqttSettings& settings);
// tirnserial/<hostname>/scan
std::string defaultScanTopic();
// tirnserial-<hostname>-<the first 8 digits of /etc/machine-id>: boxes
// from one image often share a host name, and two boxes with one client id
// would push each other off the broker.
std::string defaultClientId();
// A client id or a topic as MQTT allows it: valid UTF-8 without NUL, at
// most `maxBytes` bytes.
bool validMqttString(const std::string& text, std::size_t maxBytes);
// A topic a scan may be published to: not empty, no wildcards.
bool publishableTopic(const std::string& topic);
// Whether {scanner}, if the topic has it, is one whole level, once.
bool scannerLevelWhole(const std::string& topic);
// Reads user and password from the credentials file, if one is given.
// Prints one line on standard error and returns false when it cannot.
bool readMqttCredentials(MqttSettings& settings);
// The --mqtt-cafile, --mqtt-cert and --mqtt-key files as OpenSSL would
// read them at connection time: one line on standard error and false when
// one cannot be used; a key others can read is only warned about.
bool checkMqttTlsFiles(const MqttSettings& settings);
