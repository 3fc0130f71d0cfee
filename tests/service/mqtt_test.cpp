// Scans published to a real MQTT broker (Debian's mosquitto, on loopback in
// the test's own network namespace) besides the WebSocket clients: each
// once and in order, numbered, across an outage, past a broker that never
// answers or refuses them, across the service's own end however it comes,
// past a full or damaged disk, with credentials, over TLS with the broker's
// own CA and a client certificate.
#include "http_reply.h"
#include "service_test.h"

#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kBrokerPort = 18830;
const std::string kTopic = "tirn/test/scan";

// mosquitto with its sessions kept on disk, so that a restart keeps the
// test subscriber's subscription and the messages queued for it.
class Broker {
public:
    explicit Broker(const std::string& extraConfig = "allow_anonymous true\n") {
        char pattern[] = "/tmp/mosquitto-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::ofstream(dir_ + "/mosquitto.conf") << "listener " << kBrokerPort << " 127.0.0.1\nuser root\nlog_dest none\n"
                                                << "persistence true\npersistence_location " << dir_ << "/\n"
                                                << extraConfig;
    }
    ~Broker() { halt(); }
    void start() {
        std::string config = dir_ + "/mosquitto.conf";
        char* argv[] = {const_cast<char*>("mosquitto"), const_cast<char*>("-c"), config.data(), nullptr};
        ASSERT_EQ(posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv, environ), 0);
        ASSERT_TRUE(WsClient::connectRaw(kBrokerPort, 10s)) << "mosquitto did not start";
    }
    void halt() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Stops answering, its connections left open, and goes on.
    void pause(bool paused) { kill(pid_, paused ? SIGSTOP : SIGCONT); }
    // Reads its configuration (the access rules) again.
    void reload() { kill(pid_, SIGHUP); }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// A subscriber with a session of its own that outlives its connection
// (MQTT 5, through libmosquitto): each message's payload and user
// properties, in the order they came.
class Subscriber {
public:
    explicit Subscriber(const std::string& topic, const char* user = nullptr, const char* password = nullptr)
        : topic_(topic) {
        mosquitto_lib_init();
        client_ = mosquitto_new("tirn-test-subscriber", false, this);
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_username_pw_set(client_, user, password);
        mosquitto_connect_v5_callback_set(client_, [](mosquitto* client, void* self, int rc, int, const mosquitto_property*) {
            if (rc == 0) mosquitto_subscribe(client, nullptr, static_cast<Subscriber*>(self)->topic_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(
            client_, [](mosquitto*, void* self, int, int, const int*) { static_cast<Subscriber*>(self)->subscribed_ = true; });
        mosquitto_message_v5_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message,
                                                      const mosquitto_property* properties) {
            static_cast<Subscriber*>(self)->take(*message, properties);
        });
        // A session that outlives the connection, and a restart of the broker.
        mosquitto_property* session = nullptr;
        mosquitto_property_add_int32(&session, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        EXPECT_EQ(mosquitto_connect_bind_v5(client_, "127.0.0.1", kBrokerPort, 60, nullptr, session), MOSQ_ERR_SUCCESS);
        mosquitto_property_free_all(&session);
        mosquitto_loop_start(client_);
        EXPECT_TRUE(eventually([this] { return subscribed_.load(); })) << "not subscribed to " << topic;
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(guard_);
        return messages_;
    }
    std::vector<long long> numbers() const {
        std::lock_guard<std::mutex> lock(guard_);
        std::vector<long long> numbers;
        for (const auto& properties : properties_)
            numbers.push_back(properties.count("seq") != 0 ? std::stoll(properties.at("seq")) : -1);
        return numbers;
    }
    std::vector<std::map<std::string, std::string>> properties() const {
        std::lock_guard<std::mutex> lock(guard_);
        return properties_;
    }
    std::vector<std::string> topics() const {
        std::lock_guard<std::mutex> lock(guard_);
        return topics_;
    }
    bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout = 10s) const {
        return eventually([&] { return messages().size() >= count; }, timeout);
    }

private:
    void take(const mosquitto_message& message, const mosquitto_property* properties) {
        std::map<std::string, std::string> found;
        char *name = nullptr, *value = nullptr;
        for (const mosquitto_property* at =
                 mosquitto_property_read_string_pair(properties, MQTT_PROP_USER_PROPERTY, &name, &value, false);
             at != nullptr; at = mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value, true)) {
            found[name] = value;
            free(name);
            free(value);
        }
        std::lock_guard<std::mutex> lock(guard_);
        messages_.emplace_back(static_cast<const char*>(message.payload), static_cast<std::size_t>(message.payloadlen));
        topics_.emplace_back(message.topic);
        properties_.push_back(std::move(found));
    }

    std::string topic_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> subscribed_{false};
    mutable std::mutex guard_;
    std::vector<std::string> messages_;
    std::vector<std::string> topics_;
    std::vector<std::map<std::string, std::string>> properties_;
};

// The retained status of the service under test, as a newcomer sees it.
std::string retainedStatus(const std::string& topic = "tirn/test/status") {
    std::string status = commandOutput("mosquitto_sub -h 127.0.0.1 -p " + std::to_string(kBrokerPort) + " -t " +
                                       topic + " -C 1 -W 5");
    if (!status.empty() && status.back() == '\n') status.pop_back();
    return status;
}

// The "mqtt" member of /status.
double brokerFigure(const char* name) {
    const HttpReply status = request("GET", "/status");
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    const cJSON* figure = cJSON_GetObjectItem(cJSON_GetObjectItem(json.get(), "mqtt"), name);
    return cJSON_IsBool(figure) ? cJSON_IsTrue(figure) : cJSON_IsNumber(figure) ? figure->valuedouble : -1;
}

// A whole number of /status, at its top or in one of its objects.
long long statusNumber(const char* name, const char* object = nullptr) {
    const HttpReply status = request("GET", "/status");
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    const cJSON* figure = cJSON_GetObjectItem(object ? cJSON_GetObjectItem(json.get(), object) : json.get(), name);
    return cJSON_IsNumber(figure) ? static_cast<long long>(figure->valuedouble) : -1;
}

// Each scan's "time" (RFC 3339, UTC, milliseconds) and "scanner" beside
// its "seq".
bool utcMilliseconds(const std::string& time) {
    const std::string shape = "0000-00-00T00:00:00.000Z";  // 0: a digit
    if (time.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(time[i])) : time[i] != shape[i]) return false;
    return true;
}

void expectTimesAndScanner(const std::vector<std::map<std::string, std::string>>& scans) {
    for (const auto& properties : scans) {
        EXPECT_TRUE(properties.count("time") && utcMilliseconds(properties.at("time")))
            << testing::PrintToString(properties);
        EXPECT_EQ(properties.count("scanner") ? properties.at("scanner") : "", "/dev/ttyUSB0");
    }
}

// The figure once it has reached `expected`, or what it is after 10 s: the
// relay hands a scan to the broker's queue just after its WebSocket clients,
// so a client may see a scan a moment before the queue counts it.
double brokerFigureOnceAt(const char* name, double expected) {
    eventually([&] { return brokerFigure(name) == expected; });
    return brokerFigure(name);
}

// Whether each number is above the one before it, by one when `byOne`.
bool rising(const std::vector<long long>& seqs, bool byOne) {
    const auto wrong = [byOne](long long before, long long after) { return byOne ? after != before + 1 : after <= before; };
    return std::adjacent_find(seqs.begin(), seqs.end(), wrong) == seqs.end();
}

// What the file system of PATH holds in all.
unsigned long long usedBytes(const std::string& path) {
    struct statvfs space {};
    statvfs(path.c_str(), &space);
    return static_cast<unsigned long long>(space.f_blocks - space.f_bfree) * space.f_frsize;
}

long long fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

class Mqtt : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        char pattern[] = "/tmp/tirn-state-XXXXXX";
        stateDir_ = mkdtemp(pattern);
    }
    // The state directory on a file system of 512 kB; the path of a file
    // that fills it.
    std::string smallStateDir() {
        EXPECT_EQ(mount("tmpfs", stateDir_.c_str(), "tmpfs", 0, "size=512k"), 0) << strerror(errno);
        return stateDir_ + "/filler";
    }
    void startWithBroker(std::vector<std::string> extra = {},
                         const std::string& url = "mqtt://127.0.0.1:" + std::to_string(kBrokerPort)) {
        std::vector<std::string> args = {"0", "--mqtt", url,
                                         "--mqtt-topic", kTopic, "--state-dir", stateDir_};
        args.insert(args.end(), extra.begin(), extra.end());
        startService(args);
        client_ = subscriber();
    }
    // A scan that the WebSocket subscriber gets at once, whatever the broker does.
    std::string scanServedAtOnce(const std::string& scan) {
        service_->scan(scan);
        const auto message = client_->receive(kServedWithin + 30ms);
        EXPECT_TRUE(message) << scan << " was held up";
        return message ? message->payload : "";
    }

    // Scans numbered from 0 that the WebSocket subscriber gets at once, added to `sent`.
    void scansServedAtOnce(std::vector<std::string>& sent, const std::string& prefix, int count) {
        for (int i = 0; i < count; ++i) sent.push_back(scanServedAtOnce(prefix + std::to_string(i)));
    }
    // Scans that the WebSocket subscriber gets at once and the outbox stores.
    void scansStored(std::vector<std::string>& sent, const std::string& prefix, int count) {
        scansServedAtOnce(sent, prefix, count);
        EXPECT_EQ(brokerFigureOnceAt("stored", count), count);
    }

    std::unique_ptr<WsClient> client_;
    std::string stateDir_;
};

TEST_F(Mqtt, EachScanOnceAndInOrderAcrossAnOutage) {
    Broker broker;
    broker.start();
    Subscriber fleet(kTopic);
    startWithBroker();
    ASSERT_TRUE(service_->waitForOutput("MQTT: connected to the broker at mqtt://127.0.0.1:18830, publishing to "
                                        "tirn/test/scan\n"));
    EXPECT_EQ(retainedStatus(), "online");
    std::vector<std::string> sent;
    for (int i = 0; i < 25; ++i) {
        if (i == 5) {
            // A scan the broker took but had not acknowledged when it went
            // would rightly come again (at least once): the outage begins
            // after the broker acknowledged what came before it.
            ASSERT_EQ(brokerFigureOnceAt("published", 5), 5);
            broker.halt();
            ASSERT_TRUE(service_->waitForOutput("MQTT: lost the broker at mqtt://127.0.0.1:18830 ("));
        }
        sent.push_back(scanServedAtOnce("SCAN-" + std::to_string(i)));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(brokerFigureOnceAt("queued", 20), 20);
    broker.start();
    ASSERT_TRUE(fleet.waitForMessages(25, 40s)) << service_->out();
    EXPECT_EQ(fleet.messages(), sent);
    EXPECT_TRUE(rising(fleet.numbers(), true)) << testing::PrintToString(fleet.numbers());
    EXPECT_EQ(brokerFigure("published"), 25);
    EXPECT_EQ(brokerFigure("last_seq"), fleet.numbers().back());
    EXPECT_EQ(statusNumber("last_seq"), fleet.numbers().back());  // the WebSocket clients' number too
    expectTimesAndScanner(fleet.properties());
    EXPECT_EQ(brokerFigure("connected"), 1);
    unplugAndExpectCleanExit();
    EXPECT_EQ(retainedStatus(), "offline");
    EXPECT_EQ(fleet.messages().size(), 25u) << "a scan came twice";
}

// A broker that takes the connection and never answers: scans reach the
// WebSocket subscriber at once, and the queue keeps only the newest.
TEST_F(Mqtt, SilentBrokerHoldsNothingUpAndTheQueueKeepsTheNewest) {
    const int silent = occupyPort(kBrokerPort);
    startWithBroker({"--mqtt-queue", "3"});
    std::vector<std::string> sent;
    scansServedAtOnce(sent, "QUEUED-", 5);
    EXPECT_EQ(brokerFigure("connected"), 0);
    EXPECT_EQ(brokerFigureOnceAt("dropped", 2), 2);
    EXPECT_EQ(brokerFigure("queued"), 3);

    close(silent);
    Broker broker;
    broker.start();
    Subscriber fleet(kTopic);
    ASSERT_TRUE(fleet.waitForMessages(3, 40s)) << service_->out();
    EXPECT_EQ(fleet.messages(), std::vector<std::string>(sent.begin() + 2, sent.end()));
    unplugAndExpectCleanExit();
}

TEST_F(Mqtt, CredentialsFromAFile) {
    Broker broker("allow_anonymous false\n");
    const std::string passwords = broker.dir() + "/passwords";
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " till secret-1").c_str()), 0);
    std::ofstream(broker.dir() + "/mosquitto.conf", std::ios::app) << "password_file " << passwords << "\n";
    broker.start();
    Subscriber fleet(kTopic, "till", "secret-1");

    const std::string wrong = broker.dir() + "/wrong", right = broker.dir() + "/right";
    std::ofstream(wrong) << "till:not-the-password\n";
    std::ofstream(right) << "till:secret-1\n";
    chmod(wrong.c_str(), 0644);
    chmod(right.c_str(), 0640);
    startWithBroker({"--mqtt-credentials", wrong});
    EXPECT_TRUE(service_->waitForError("TirnSerial: warning: other users can read the MQTT credentials " + wrong +
                                       " (chmod o-r it)\n"));
    // Refused again until someone mends it: a longer wait than the 1 s for
    // a broker away.
    ASSERT_TRUE(service_->waitForOutput("MQTT: the broker at mqtt://127.0.0.1:18830 refused the login (Not authorized): "
                                        "check the user and password in --mqtt-credentials, trying again in 5 s\n"))
        << service_->out();
    unplugAndExpectCleanExit();

    startWithBroker({"--mqtt-credentials", right});
    const std::string sent = scanServedAtOnce("LOGGED-IN");
    ASSERT_TRUE(fleet.waitForMessages(1));
    EXPECT_EQ(fleet.messages().front(), sent);
    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->err().find("warning"), std::string::npos) << service_->err();
}

// A fleet's own CA and a certificate per box (mosquitto with
// require_certificate): an unusable pair (a stranger's key, an encrypted
// one) starts nothing, saying which; a wrong CA or no
// certificate is refused with one line saying what to mend, while the scans
// wait on disk for the right pair.
TEST_F(Mqtt, OwnCaAndClientCertificate) {
    char pattern[] = "/tmp/mqtt-ca-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=";
    const std::string make = "cd " + dir + " && { for ca in ca other; do openssl req -x509" + newKey +
                             "$ca -keyout $ca.key -out $ca.crt || exit 1; done && for pair in broker box; do "
                             "openssl req -x509 -CA ca.crt -CAkey ca.key" + newKey + "$pair -addext "
                             "subjectAltName=IP:127.0.0.1 -addext basicConstraints=critical,CA:FALSE -keyout "
                             "$pair.key -out $pair.crt || exit 1; done; } 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(kBrokerPort + 2);
    Broker broker("allow_anonymous true\nlistener " + std::to_string(kBrokerPort + 2) + " 127.0.0.1\ncafile " + dir +
                  "/ca.crt\ncertfile " + dir + "/broker.crt\nkeyfile " + dir + "/broker.key\nrequire_certificate true\n");
    broker.start();
    Subscriber fleet(kTopic);
    const std::string ca = dir + "/ca.crt", cert = dir + "/box.crt", key = dir + "/box.key";
    const std::string sealed = dir + "/sealed.key", seal = "openssl pkey -in " + key + " -aes256 -passout pass:x -out " + sealed;
    ASSERT_EQ(std::system(seal.c_str()), 0) << seal;
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"0", "--mqtt", url, "--mqtt-cert", cert}, ""},
             {{"0", "--mqtt", url, "--mqtt-cafile", dir + "/missing.crt"}, ""},
             {{"0", "--mqtt", url, "--mqtt-cafile", key}, ""},
             {{"0", "--mqtt", url, "--mqtt-cafile", ca, "--mqtt-cert", cert, "--mqtt-key", dir + "/broker.key"},
              "the MQTT key " + dir + "/broker.key does not match the certificate " + cert + "\n"},
             {{"0", "--mqtt", url, "--mqtt-cafile", ca, "--mqtt-cert", cert, "--mqtt-key", sealed},
              "the MQTT key " + sealed + " is encrypted, and the service asks for no pass phrase"},
             {{"0", "--mqtt", "mqtt://127.0.0.1", "--mqtt-cafile", ca}, ""}})
        expectRefusedWithOneLine(args, says);

    std::vector<std::string> sent;
    const std::string pair[] = {"--mqtt-cert", cert, "--mqtt-key", key};
    chmod(key.c_str(), 0644);
    startWithBroker({"--mqtt-cafile", dir + "/other.crt", pair[0], pair[1], pair[2], pair[3]}, url);
    EXPECT_TRUE(service_->waitForError("TirnSerial: warning: other users can read the MQTT key " + key +
                                       " (chmod o-r it)\n"));
    sent.push_back(scanServedAtOnce("WRONG-CA"));
    ASSERT_TRUE(service_->waitForOutput("): the broker's certificate is not one this box trusts: check --mqtt-cafile "
                                        "(the CA that signed it) and the broker's name in --mqtt, trying again in 5 s\n"))
        << service_->out();
    EXPECT_NE(service_->out().find("MQTT: TLS with the broker at " + url + " failed (certificate verify failed: "),
              std::string::npos);
    EXPECT_EQ(brokerFigureOnceAt("stored", 1), 1);
    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->countInOutput("MQTT: "), service_->countInOutput("MQTT: TLS with the broker")) << service_->out();

    startWithBroker({"--mqtt-cafile", ca}, url);
    sent.push_back(scanServedAtOnce("NO-CERTIFICATE"));
    // (An attempt may find the connection closed before the alert is read:
    // the line then names no certificate. On a busy machine several in a
    // row may, and each waits longer than the last.)
    ASSERT_TRUE(service_->waitForOutput("): the broker refused this box's certificate: check --mqtt-cert and "
                                        "--mqtt-key, trying again in ", 1, 150s))
        << service_->out();
    unplugAndExpectCleanExit();

    chmod(key.c_str(), 0600);
    startWithBroker({"--mqtt-cafile", ca, pair[0], pair[1], pair[2], pair[3]}, url);
    ASSERT_TRUE(service_->waitForOutput("MQTT: connected to the broker at " + url)) << service_->out();
    sent.push_back(scanServedAtOnce("RIGHT-PAIR"));
    ASSERT_TRUE(fleet.waitForMessages(sent.size(), 20s)) << service_->out();
    EXPECT_EQ(fleet.messages(), sent);
    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->err().find("warning"), std::string::npos) << service_->err();
}

// A scan the broker refuses (its access rules: PUBACK 0x87) waits, in
// order, on disk, until the broker takes it; one larger than the broker's
// maximum packet is dropped and holds up none after it.
TEST_F(Mqtt, RefusedScansWaitAndOversizedOnesHoldUpNone) {
    Broker broker("allow_anonymous true\nmax_packet_size 1000\n");
    const std::string rules = broker.dir() + "/acl";
    std::ofstream(rules) << "topic read tirn/test/scan\ntopic readwrite tirn/test/status\n";
    std::ofstream(broker.dir() + "/mosquitto.conf", std::ios::app) << "acl_file " << rules << "\n";
    broker.start();
    Subscriber fleet(kTopic);
    startWithBroker();
    ASSERT_TRUE(service_->waitForOutput("MQTT: connected to the broker"));
    std::vector<std::string> sent;
    scansServedAtOnce(sent, "REFUSED-", 3);
    EXPECT_TRUE(service_->waitForOutput("MQTT: the broker at mqtt://127.0.0.1:18830 refuses scans (Not authorized); "
                                        "they wait in order and are offered again\n"))
        << service_->out();
    EXPECT_EQ(brokerFigureOnceAt("stored", 3), 3);
    EXPECT_GE(brokerFigure("refused"), 1);
    EXPECT_EQ(brokerFigure("published"), 0);
    EXPECT_EQ(brokerFigure("queued"), 3);
    EXPECT_NE(request("GET", "/metrics").body.find("\ntirnserial_mqtt_refused_total "), std::string::npos);

    std::ofstream(rules) << "topic readwrite tirn/test/#\n";
    broker.reload();
    ASSERT_TRUE(fleet.waitForMessages(3, 40s)) << service_->out();
    EXPECT_TRUE(service_->waitForOutput("MQTT: the broker at mqtt://127.0.0.1:18830 takes scans again\n"));

    const std::string large = scanServedAtOnce(std::string(1500, 'L'));
    scansServedAtOnce(sent, "AFTER-", 3);
    ASSERT_TRUE(fleet.waitForMessages(6, 20s)) << service_->out();
    EXPECT_EQ(fleet.messages(), sent);
    const long long first = fleet.numbers().front();
    EXPECT_EQ(fleet.numbers(), (std::vector<long long>{first, first + 1, first + 2, first + 4, first + 5, first + 6}));
    EXPECT_TRUE(service_->waitForOutput("MQTT: scan " + std::to_string(first + 3) + " (" +
                                        std::to_string(large.size()) + " bytes) is larger than the broker at "
                                        "mqtt://127.0.0.1:18830 takes (packets of 1000 bytes at most); dropped it, "
                                        "counted in /status as rejected\n"))
        << service_->out();
    EXPECT_EQ(brokerFigure("rejected"), 1);
    EXPECT_EQ(service_->countInOutput("MQTT: lost the broker"), 0) << service_->out();
    EXPECT_EQ(brokerFigureOnceAt("queued", 0), 0);
    unplugAndExpectCleanExit();
}

// However the service ends while the broker is away (killed, unplugged,
// stopped), its scans wait on disk, and the next start sends them first, in
// order, each once, with the numbers they had: numbers go on above the last
// run's, by one within a run, and the scan history comes back with them.
TEST_F(Mqtt, StoredScansOutliveEveryKindOfEndAndGoFirst) {
    Broker broker;
    broker.start();
    { Subscriber fleet(kTopic); }  // subscribed; its session keeps what comes
    broker.halt();
    std::vector<std::string> sent;

    startWithBroker();
    scansStored(sent, "KILLED-", 3);
    kill(service_->pid(), SIGKILL);
    service_->waitForExit();

    startWithBroker();
    ASSERT_TRUE(service_->waitForOutput("MQTT outbox: 3 scans stored before this start go to the broker first\n"));
    scansStored(sent, "UNPLUGGED-", 3);
    unplugAndExpectCleanExit();
    EXPECT_NE(service_->out().find("MQTT outbox: 6 scans wait in " + stateDir_ + " for the broker"), std::string::npos);

    startWithBroker();
    scansStored(sent, "STOPPED-", 3);
    kill(service_->pid(), SIGTERM);
    EXPECT_EQ(service_->waitForExit(), 0);

    broker.start();
    Subscriber fleet(kTopic);
    startWithBroker();
    sent.push_back(scanServedAtOnce("NEWER"));
    ASSERT_TRUE(fleet.waitForMessages(sent.size(), 20s)) << service_->out();
    EXPECT_EQ(fleet.messages(), sent);
    const std::vector<long long> numbers = fleet.numbers();
    EXPECT_TRUE(rising(numbers, false)) << testing::PrintToString(numbers);
    for (std::size_t run = 0; run < 3; ++run)
        EXPECT_TRUE(rising({numbers.begin() + 3 * run, numbers.begin() + 3 * run + 3}, true)) << run;
    expectTimesAndScanner(fleet.properties());
    EXPECT_EQ(statusNumber("last_seq"), numbers.back());
    // Those of the killed run were kept too, unless it died before its
    // history was written.
    EXPECT_GE(statusNumber("scans", "history"), 7);
    EXPECT_LE(statusNumber("oldest_seq", "history"), numbers[3]);
    EXPECT_EQ(statusNumber("depth", "history"), 1000);
    EXPECT_EQ(brokerFigureOnceAt("queued", 0), 0);
    unplugAndExpectCleanExit();
}

// A topic per scanner: each named scanner's scans go to its own, with its
// name as their scanner, those stored by an earlier run too; the status
// goes where the scanner level was.
TEST_F(Mqtt, EachScannerItsOwnTopic) {
    Broker broker;
    broker.start();
    { Subscriber fleet("tirn/+/scans"); }  // subscribed; its session keeps what comes
    broker.halt();
    VirtualScanner second("/dev/ttyUSB1");
    for (const std::string run : {"STORED-", "LIVE-"}) {
        if (run == "LIVE-") broker.start();
        startService({"0", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(kBrokerPort), "--mqtt-topic",
                      "tirn/{scanner}/scans", "--state-dir", stateDir_, "--gap-ms", "20", "--device",
                      "/dev/ttyUSB0,name=till-1", "--device", "/dev/ttyUSB1,name=till-2"});
        client_ = subscriber();
        scanServedAtOnce(run + "1");
        second.type(run + "2");
        ASSERT_TRUE(client_->receive());
        if (run == "STORED-") {
            EXPECT_EQ(brokerFigureOnceAt("stored", 2), 2);
            kill(service_->pid(), SIGTERM);
            EXPECT_EQ(service_->waitForExit(), 0);
        }
    }
    Subscriber fleet("tirn/+/scans");
    ASSERT_TRUE(fleet.waitForMessages(4, 20s)) << service_->out();
    const auto properties = fleet.properties();
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string till = i % 2 == 0 ? "till-1" : "till-2";
        EXPECT_EQ(fleet.topics()[i], "tirn/" + till + "/scans") << i;
        EXPECT_EQ(properties[i].at("scanner"), till) << i;
        EXPECT_NE(fleet.messages()[i].find(i < 2 ? "STORED-" : "LIVE-"), std::string::npos) << fleet.messages()[i];
    }
    EXPECT_EQ(retainedStatus("tirn/status"), "online");
    second.unplug();
    unplugAndExpectCleanExit();
}

// A full disk costs the outbox, not the scans: they reach the WebSocket
// subscriber at once and wait for the broker in memory. A store that cannot
// be opened at start-up is tried again with later scans; a damaged one is
// moved aside and a new one begun. Whatever befalls the store, a box's
// numbers never go back (a consumer would drop the scans as repeats).
TEST_F(Mqtt, FullDiskAndDamagedStoreLoseNoScan) {
    Broker broker;
    broker.start();
    Subscriber fleet(kTopic);
    const std::string filler = smallStateDir();
    startWithBroker();
    std::vector<std::string> sent;
    scansStored(sent, "FIRST-", 3);
    unplugAndExpectCleanExit();

    fill(filler);
    startWithBroker();
    ASSERT_TRUE(service_->waitForOutput("MQTT outbox: cannot open the store in " + stateDir_ + " (")) << service_->out();
    sent.push_back(scanServedAtOnce("NO-STORE"));
    EXPECT_EQ(brokerFigureOnceAt("disk_errors", 1), 1);
    unlink(filler.c_str());
    const std::string storing = "MQTT outbox: storing scans in " + stateDir_ + " again\n";
    EXPECT_TRUE(eventually([&] {
        sent.push_back(scanServedAtOnce("STORE-BACK-" + std::to_string(sent.size())));
        return service_->waitForOutput(storing, 1, 500ms);
    })) << service_->out();
    EXPECT_TRUE(eventually([] { return brokerFigure("stored") >= 1; }));

    fill(filler);
    // The store's log may have room for a few more on a full disk.
    const double errors = brokerFigure("disk_errors");
    EXPECT_TRUE(eventually([&] {
        scansServedAtOnce(sent, "IN-MEMORY-" + std::to_string(sent.size()) + "-", 1);
        return brokerFigure("disk_errors") > errors;
    }));
    // Storing or removing delivered ones, whichever fails first.
    EXPECT_TRUE(service_->waitForOutput("); scans wait in memory until the broker has them\n")) << service_->out();
    unlink(filler.c_str());
    sent.push_back(scanServedAtOnce("ON-DISK-AGAIN"));
    EXPECT_TRUE(service_->waitForOutput(storing, 2));
    ASSERT_TRUE(fleet.waitForMessages(sent.size(), 20s)) << service_->out();
    unplugAndExpectCleanExit();

    // A damaged page: the store's own check fails, its sequence row still reads.
    {
        std::fstream store(stateDir_ + "/outbox.db", std::ios::in | std::ios::out | std::ios::binary);
        store.seekp(4096);
        store << std::string(4096, 'x');
    }
    startWithBroker();
    ASSERT_TRUE(service_->waitForOutput("MQTT outbox: the store " + stateDir_ + "/outbox.db is damaged ("));
    EXPECT_EQ(std::system(("ls " + stateDir_ + "/outbox.db.damaged-* >/dev/null").c_str()), 0);
    sent.push_back(scanServedAtOnce("AFTER-DAMAGE"));
    ASSERT_TRUE(fleet.waitForMessages(sent.size(), 20s)) << service_->out();
    EXPECT_EQ(fleet.messages(), sent);
    EXPECT_TRUE(rising(fleet.numbers(), false)) << testing::PrintToString(fleet.numbers());
    unplugAndExpectCleanExit();
    umount(stateDir_.c_str());
}

// Both stores in a 4 MB state directory, scans coming in many small writes:
// their write-ahead logs stay short, so the directory never fills (with
// SQLite's defaults each log kept some 4 MB). A full disk costs writes only
// until it has room again.
TEST_F(Mqtt, StoresStayWithinASmallStateDirectoryAndComeBackAfterAFullDisk) {
    Broker broker;
    broker.start();
    ASSERT_EQ(mount("tmpfs", stateDir_.c_str(), "tmpfs", 0, "size=4m"), 0) << strerror(errno);
    const std::string filler = stateDir_ + "/filler";
    startWithBroker({"--history", "300", "--end-on", "cr"});
    int sent = 0;
    const auto burst = [&] {  // 50 scans of 200 bytes, taken
        std::string scans;
        for (int i = 0; i < 50; ++i, ++sent) scans += std::to_string(sent) + std::string(200, 'w') + "\r";
        service_->scan(scans);
        return eventually([&] { return brokerFigure("stored") + brokerFigure("disk_errors") >= sent; });
    };
    fill(filler);
    EXPECT_TRUE(eventually([&] { return burst() && service_->waitForOutput("scan history: cannot ", 1, 100ms); }))
        << service_->out();
    unlink(filler.c_str());
    const std::string again = "scan history: storing scans again\n";
    EXPECT_TRUE(eventually([&] { return burst() && service_->waitForOutput(again, 1, 100ms); })) << service_->out();

    const int failures = service_->countInOutput("cannot ");
    for (int i = 0; i < 80; ++i) ASSERT_TRUE(burst()) << service_->out();
    EXPECT_EQ(service_->countInOutput("cannot "), failures) << service_->out();
    EXPECT_LT(fileSize(stateDir_ + "/history.db-wal"), 600 << 10);
    EXPECT_LT(fileSize(stateDir_ + "/outbox.db-wal"), 600 << 10);
    EXPECT_LT(usedBytes(stateDir_), 2u << 20);
    unplugAndExpectCleanExit();
    umount(stateDir_.c_str());
}

// A scan the broker has, whose removal from the outbox failed on a full
// disk, goes out once: the removal is tried again until the disk has room,
// so the next start does not send it again. A directory smaller than the
// stores may need gets a warning at the start.
TEST_F(Mqtt, ADeliveredScanWhoseRemovalFailedGoesOutOnce) {
    Broker broker;
    broker.start();
    Subscriber fleet(kTopic);
    const std::string filler = smallStateDir();
    startWithBroker();
    EXPECT_TRUE(service_->waitForError("TirnSerial: warning: the state directory " + stateDir_ + " has room for "));
    ASSERT_TRUE(service_->waitForOutput("MQTT: connected to the broker"));
    broker.pause(true);
    std::vector<std::string> sent;
    scansStored(sent, "DELIVERED-", 1);
    fill(filler);
    broker.pause(false);
    ASSERT_TRUE(fleet.waitForMessages(1)) << service_->out();
    ASSERT_TRUE(service_->waitForOutput("MQTT outbox: cannot remove delivered scans in " + stateDir_)) << service_->out();
    unlink(filler.c_str());
    EXPECT_TRUE(service_->waitForOutput("MQTT outbox: storing scans in " + stateDir_ + " again\n")) << service_->out();
    unplugAndExpectCleanExit();

    startWithBroker();
    sent.push_back(scanServedAtOnce("AFTER-RESTART"));
    ASSERT_TRUE(fleet.waitForMessages(sent.size(), 20s)) << service_->out();
    EXPECT_EQ(fleet.messages(), sent);
    unplugAndExpectCleanExit();
    umount(stateDir_.c_str());
}

// A restart while the broker still thinks the old connection alive (its
// packets lost: the address it used is gone): the new one takes its place at
// once (one client id per box), so the old one's last will comes before the
// new "online", never after it.
TEST_F(Mqtt, RestartPastAHalfOpenConnectionStaysOnline) {
    const std::string lost = "10.9.9.9";
    ASSERT_EQ(std::system(("ip address add " + lost + "/32 dev lo").c_str()), 0);
    Broker broker("allow_anonymous true\nlistener " + std::to_string(kBrokerPort + 1) + " " + lost + "\n");
    broker.start();
    startWithBroker({}, "mqtt://" + lost + ":" + std::to_string(kBrokerPort + 1));
    ASSERT_TRUE(service_->waitForOutput("MQTT: connected to the broker"));
    ASSERT_EQ(std::system(("ip address del " + lost + "/32 dev lo").c_str()), 0);
    kill(service_->pid(), SIGKILL);
    service_->waitForExit();

    startWithBroker();
    ASSERT_TRUE(service_->waitForOutput("MQTT: connected to the broker"));
    const std::string held = "ss -Htn state established src " + lost + " | grep -q .";
    EXPECT_TRUE(eventually([&held] { return std::system(held.c_str()) != 0; }))
        << "the broker still holds the old connection";
    EXPECT_EQ(retainedStatus(), "online");
    unplugAndExpectCleanExit();
}

}  // namespace
