#include "fleet/mqtt_publisher.h"

#include "broker_tls_context.h"
#include "console/console.h"
#include "console/console_lines.h"
#include "text/scan_message.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr auto kMaxBackoff = std::chrono::seconds(30);
// A broker that refuses the connection (a wrong password, say) refuses it
// again until someone mends the credentials or the broker: fewer attempts,
// fewer lines in its log than for a broker that is away.
constexpr int kRefusalFactor = 5;
constexpr auto kMaxRefusalBackoff = std::chrono::minutes(5);
// The store, when it could not be opened, is tried again with new scans,
// at most this often.
constexpr auto kReopenInterval = std::chrono::seconds(1);
// A broker that takes the connection but never answers it.
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr int kKeepAliveSeconds = 30;
// What the queue may still send at the end, and the offline message after.
constexpr auto kDrainAtExit = std::chrono::seconds(2);
// Delivered scans leave the store in batches of this many, or at once when
// nothing else waits.
constexpr std::uint64_t kForgetBatch = 64;

void sayOfBroker(LineKind kind, const char* format, const std::string& a, const std::string& b = "", long n = 0) {
    consoleOut(kind, format, a.c_str(), b.c_str(), n);
    flushConsole();
}

std::int64_t millisecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

bool unsupportedProtocol(int connackResult) {
    return connackResult == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || connackResult == CONNACK_REFUSED_PROTOCOL_VERSION;
}

bool loginRefusal(int connackResult, bool v5) {
    if (!v5) return connackResult == CONNACK_REFUSED_BAD_USERNAME_PASSWORD || connackResult == CONNACK_REFUSED_NOT_AUTHORIZED;
    return connackResult == MQTT_RC_BAD_USERNAME_OR_PASSWORD || connackResult == MQTT_RC_NOT_AUTHORIZED ||
           connackResult == MQTT_RC_BANNED || connackResult == MQTT_RC_BAD_AUTHENTICATION_METHOD;
}

// The scan's number, when it ended and its scanner, as user properties.
void addScanProperties(mosquitto_property*& properties, const OutboxScan& scan) {
    const auto ended = std::chrono::system_clock::time_point(std::chrono::milliseconds(scan.storedAtMs));
    mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "seq", std::to_string(scan.seq).c_str());
    mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "time", utcMilliseconds(ended).c_str());
    mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "scanner", scan.scanner.c_str());
}

// Failures of mosquitto_publish that mean the connection is gone; any other
// is the broker's or the scan's, and another connection would not help.
bool connectionFailure(int result) {
    return result == MOSQ_ERR_NO_CONN || result == MOSQ_ERR_CONN_LOST || result == MOSQ_ERR_ERRNO ||
           result == MOSQ_ERR_NOMEM;
}

// Alerts a broker sends when it will not take this box's certificate.
bool refusesOurCertificate(const std::string& reason) {
    if (reason.rfind("alert: ", 0) != 0) return false;
    for (const char* about : {"certificate", "unknown CA", "access denied"})
        if (reason.find(about) != std::string::npos) return true;
    return false;
}

}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings, std::unique_ptr<ScanOutbox> outbox)
    : settings_(std::move(settings)),
      outbox_(std::move(outbox)),
      statusTopic_(settings_.statusTopic()),
      lastOpenAttempt_(Clock::now()),
      diskFailing_(outbox_ == nullptr),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    mosquitto_lib_init();
    takeStoredScans();
    storer_ = std::thread([this] { keepStoring(); });
    thread_ = std::thread([this] { run(); });
}

MqttPublisher::~MqttPublisher() {
    {
        std::lock_guard<std::mutex> lock(guard_);
        storerStopping_ = true;
    }
    incomingReady_.notify_all();
    storer_.join();  // having stored what came last
    stopping_ = true;
    wake();
    thread_.join();
    close(wakeFd_);
    mosquitto_lib_cleanup();
}

void MqttPublisher::publish(const NumberedScan& scan) {
    OutboxScan waiting{scan.seq,
                       std::chrono::duration_cast<std::chrono::milliseconds>(scan.time.time_since_epoch()).count(),
                       *scan.plain, scan.scanner};
    {
        std::lock_guard<std::mutex> lock(guard_);
        if (incoming_.size() >= settings_.queueLimit) {
            incoming_.pop_front();
            ++dropped_;
        }
        incoming_.push_back(std::move(waiting));
    }
    incomingReady_.notify_one();
}

void MqttPublisher::wake() {
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // Already woken: the counter is at its limit.
    }
}

BrokerFigures MqttPublisher::figures() const {
    std::lock_guard<std::mutex> lock(guard_);
    const double oldest =
        queue_.empty() ? 0 : std::max<std::int64_t>(0, millisecondsSinceEpoch() - queue_.front().storedAtMs) / 1000.0;
    return {connected_, published_,  queue_.size() + incoming_.size(), dropped_, stored_, diskErrors_, oldest, lastSeq_,
            refused_,   rejected_};
}

void MqttPublisher::run() {
    while (!stopping_) {
        forgetDelivered(false);
        const auto now = Clock::now();
        if (client_ == nullptr) {
            if (now < nextAttempt_) {
                waitForWork(nextAttempt_ - now);
                continue;
            }
            connect();
            continue;
        }
        serveConnection(std::chrono::milliseconds(500));
        if (!connected_ && client_ != nullptr && Clock::now() - attemptStarted_ > kConnectTimeout)
            disconnect("no answer");
    }
    finish();
}

// Scans an earlier run stored and the broker never had: they go first.
void MqttPublisher::takeStoredScans() {
    if (!outbox_) return;
    std::string problem;
    std::vector<OutboxScan> stored = outbox_->load(problem);
    if (!problem.empty()) diskTrouble("cannot read the stored scans", problem);
    if (!stored.empty()) {
        consoleOut(LineKind::Event, "MQTT outbox: %zu scans stored before this start go to the broker first\n",
                   stored.size());
        flushConsole();
    }
    {
        std::lock_guard<std::mutex> lock(guard_);
        for (auto& scan : stored) queue_.push_back(std::move(scan));
    }
    keepWithinBound();
}

// The storing thread: a slow disk never holds up the relay, and a broker
// whose name takes long to look up never holds up the storing.
void MqttPublisher::keepStoring() {
    std::unique_lock<std::mutex> lock(guard_);
    for (;;) {
        incomingReady_.wait(lock, [this] { return !incoming_.empty() || storerStopping_; });
        if (incoming_.empty()) return;
        lock.unlock();
        takeNewScans();
        wake();
        lock.lock();
    }
}

// Stores the scans the relay handed over in one transaction and queues them
// behind the others.
void MqttPublisher::takeNewScans() {
    std::deque<OutboxScan> fresh;
    {
        std::lock_guard<std::mutex> lock(guard_);
        fresh.swap(incoming_);
    }
    if (fresh.empty()) return;
    std::shared_ptr<ScanOutbox> outbox = this->outbox();
    if (!outbox && reopenOutbox()) outbox = this->outbox();
    std::vector<OutboxScan> scans(std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
    std::string problem = "no store";
    const bool stored = outbox && outbox->store(scans, problem);
    if (!stored) diskTrouble("cannot store scans", problem, scans.size());
    if (stored) diskBack();
    {
        std::lock_guard<std::mutex> lock(guard_);
        if (stored) stored_ += scans.size();
        for (auto& scan : scans) {
            scan.onDisk = stored;
            queue_.push_back(std::move(scan));
        }
    }
    keepWithinBound();
}

std::shared_ptr<ScanOutbox> MqttPublisher::outbox() const {
    std::lock_guard<std::mutex> lock(guard_);
    return outbox_;
}

// The store that could not be opened at start-up (a full disk, say), tried
// again.
bool MqttPublisher::reopenOutbox() {
    if (Clock::now() - lastOpenAttempt_ < kReopenInterval) return false;
    lastOpenAttempt_ = Clock::now();
    std::string problem;
    std::shared_ptr<ScanOutbox> opened = ScanOutbox::open(settings_.stateDir, problem);
    if (!opened || !takeLateStoredScans(*opened)) return false;
    std::lock_guard<std::mutex> lock(guard_);
    outbox_ = std::move(opened);
    return true;
}

// What an earlier run left in a store opened late. They keep their numbers,
// those the WebSocket clients saw, all below this run's: they go before
// the scans still waiting (after the one on its way), in order. Scans taken
// meanwhile may have gone out already: a consumer that drops every number
// at or below the last it had would drop these.
bool MqttPublisher::takeLateStoredScans(ScanOutbox& outbox) {
    std::string problem;
    std::vector<OutboxScan> stored = outbox.load(problem);
    if (!problem.empty()) diskTrouble("cannot read the stored scans", problem);
    std::lock_guard<std::mutex> lock(guard_);
    queue_.insert(queue_.begin() + (inFlight_ && !queue_.empty() ? 1 : 0), std::make_move_iterator(stored.begin()),
                  std::make_move_iterator(stored.end()));
    return true;
}

// Past the bound the oldest go, except the one on its way to the broker;
// one console line when they start to go.
void MqttPublisher::keepWithinBound() {
    std::uint64_t first = 0, last = 0;
    bool droppedMore = false, room = false;
    {
        std::lock_guard<std::mutex> lock(guard_);
        while (queue_.size() > settings_.queueLimit) {
            const auto victim = queue_.begin() + (inFlight_ ? 1 : 0);
            if (first == 0) first = victim->seq;
            last = victim->seq;
            queue_.erase(victim);
            ++dropped_;
        }
        droppedMore = dropped_ != droppedSeen_;
        droppedSeen_ = dropped_;
        room = queue_.size() < settings_.queueLimit;
    }
    std::string problem;
    const std::shared_ptr<ScanOutbox> outbox = this->outbox();
    if (first != 0 && outbox && !outbox->forget(first, last, problem))
        diskTrouble("cannot remove dropped scans", problem);
    if (droppedMore && !droppingSaid_) {
        consoleOut(LineKind::Warning,
                   "MQTT outbox: full at %zu scans (--mqtt-queue); the oldest are dropped from now on, counted in "
                   "/status\n", settings_.queueLimit);
        flushConsole();
    }
    droppingSaid_ = droppedMore || (droppingSaid_ && !room);
}

// Delivered scans leave the store, a batch at a time while others wait.
// Removals that failed (a full disk) are tried again at most once a second
// even when nothing more is delivered, so that a restart once the disk has
// room does not send them again.
void MqttPublisher::forgetDelivered(bool evenIfFew) {
    const std::shared_ptr<ScanOutbox> outbox = this->outbox();
    const bool retry = removalFailed_ && Clock::now() - lastRemoval_ >= kReopenInterval;
    if (!outbox || (deliveredThrough_ <= forgottenThrough_ && !retry)) return;
    if (!retry && !evenIfFew && deliveredThrough_ - forgottenThrough_ < kForgetBatch) {
        std::lock_guard<std::mutex> lock(guard_);
        if (!queue_.empty()) return;
    }
    // From the first: removals that failed before are tried again.
    std::string problem;
    lastRemoval_ = Clock::now();
    removalFailed_ = !outbox->forget(0, deliveredThrough_, problem);
    if (removalFailed_) diskTrouble("cannot remove delivered scans", problem);
    else if (retry) diskBack();
    forgottenThrough_ = deliveredThrough_;
}

void MqttPublisher::diskBack() {
    if (!diskFailing_.exchange(false)) return;
    consoleOut(LineKind::Event, "MQTT outbox: storing scans in %s again\n", settings_.stateDir.c_str());
    flushConsole();
}

// One console line when the disk starts failing, and one when it is back.
void MqttPublisher::diskTrouble(const std::string& what, const std::string& why, std::uint64_t errors) {
    {
        std::lock_guard<std::mutex> lock(guard_);
        diskErrors_ += errors;
    }
    if (diskFailing_.exchange(true)) return;
    consoleOut(LineKind::Warning, "MQTT outbox: %s in %s (%s); scans wait in memory until the broker has them\n",
               what.c_str(), settings_.stateDir.c_str(), why.c_str());
    flushConsole();
}

void MqttPublisher::connect() {
    attemptStarted_ = Clock::now();
    client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, protocolV5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    // The v5 callback has the PUBACK's reason: the v3 one comes for a
    // refusal as well.
    mosquitto_publish_v5_callback_set(client_, onPublish);
    if (!settings_.user.empty())
        mosquitto_username_pw_set(client_, settings_.user.c_str(), settings_.password.c_str());
    mosquitto_will_set(client_, statusTopic_.c_str(), 7, "offline", 1, true);
    mosquitto_log_callback_set(client_, onLog);
    tlsProblem_.clear();
    if (settings_.tls && !setUpTls()) return;
    const int result = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (result != MOSQ_ERR_SUCCESS)
        disconnect(result == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(result));
}

// A TLS context of our own, used as it is: the broker's CA (the system's
// by default), its name, this box's certificate if it has one, and our
// callbacks, which hear why a handshake fails (libmosquitto only says
// "Protocol error" for the broker's alert). The files were checked at
// start-up: a failure here is a file changed since.
bool MqttPublisher::setUpTls() {
    std::string problem;
    SSL_CTX* context = newBrokerTlsContext(settings_, problem);
    if (context == nullptr) {
        connectRefused_ = true;
        disconnect(problem);
        return false;
    }
    SSL_CTX_set_app_data(context, this);
    SSL_CTX_set_info_callback(context, onTlsEvent);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, onVerify);
    mosquitto_int_option(client_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    mosquitto_void_option(client_, MOSQ_OPT_SSL_CTX, context);
    SSL_CTX_free(context);  // the client holds it now
    return true;
}

// Reads, writes and keeps the connection alive until `timeout` passes or
// a stored scan comes; then sends the next one if it may.
void MqttPublisher::serveConnection(Clock::duration timeout) {
    pollfd ready[2] = {{mosquitto_socket(client_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (mosquitto_want_write(client_)) ready[0].events |= POLLOUT;
    const int millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count());
    if (poll(ready, ready[0].fd >= 0 ? 2 : 1, millis) < 0 && errno != EINTR) return;
    if (ready[1].revents & POLLIN) {
        std::uint64_t count;
        if (read(wakeFd_, &count, sizeof count) < 0) {
            // Nothing to take: another read emptied it.
        }
    }
    int result = MOSQ_ERR_SUCCESS;
    if (ready[0].revents & (POLLIN | POLLHUP | POLLERR)) result = mosquitto_loop_read(client_, 1);
    if (result == MOSQ_ERR_SUCCESS && (ready[0].revents & POLLOUT)) result = mosquitto_loop_write(client_, 1);
    if (result == MOSQ_ERR_SUCCESS) result = mosquitto_loop_misc(client_);
    if (result != MOSQ_ERR_SUCCESS && lost_.empty())
        lost_ = result == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(result);
    if (!lost_.empty()) return disconnect(std::exchange(lost_, {}));
    publishNext();
}

// One message at a time, so that they arrive in order even across a
// reconnection: the front leaves the queue once the broker has it.
void MqttPublisher::publishNext() {
    if (!connected_ || Clock::now() < nextOffer_) return;
    OutboxScan scan;
    {
        // Marked under the lock: the storing thread drops the oldest, but
        // never the one on its way.
        std::lock_guard<std::mutex> lock(guard_);
        if (inFlight_ || queue_.empty()) return;
        scan = queue_.front();
        inFlight_ = true;
    }
    // Consumers drop the rare second copy (an acknowledgement lost in a
    // reconnection) by this number.
    mosquitto_property* properties = nullptr;
    if (protocolV5_) addScanProperties(properties, scan);
    const std::string topic = settings_.topicFor(scan.scanner);
    const int result =
        mosquitto_publish_v5(client_, &inFlightId_, topic.c_str(), static_cast<int>(scan.message.size()),
                             scan.message.data(), settings_.qos, false, properties);
    mosquitto_property_free_all(&properties);
    if (result == MOSQ_ERR_SUCCESS) return;
    if (result == MOSQ_ERR_OVERSIZE_PACKET || result == MOSQ_ERR_PAYLOAD_SIZE) return rejectFront(scan.message.size());
    if (!connectionFailure(result)) return refused(mosquitto_strerror(result));
    std::lock_guard<std::mutex> lock(guard_);
    inFlight_ = false;
    lost_ = result == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(result);
}

// The broker would not take the front (its access rules, say): it stays
// first and is offered again later, less often while refusals go on.
void MqttPublisher::refused(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(guard_);
        inFlight_ = false;
        ++refused_;
    }
    nextOffer_ = Clock::now() + offerBackoff_;
    offerBackoff_ = std::min(offerBackoff_ * 2, kMaxBackoff);
    if (std::exchange(refusing_, true)) return;
    sayOfBroker(LineKind::Warning,
                "MQTT: the broker at %s refuses scans (%s); they wait in order and are offered again\n",
                settings_.url, why);
}

// A scan larger than the broker takes can never go: it makes way for the
// others.
void MqttPublisher::rejectFront(std::size_t bytes) {
    std::uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(guard_);
        inFlight_ = false;
        deliveredThrough_ = seq = queue_.front().seq;
        queue_.pop_front();
        ++rejected_;
    }
    const auto number = static_cast<unsigned long long>(seq);
    if (maxPacket_ > 0)
        consoleOut(LineKind::Warning,
                   "MQTT: scan %llu (%zu bytes) is larger than the broker at %s takes (packets of %u bytes at most); "
                   "dropped it, counted in /status as rejected\n",
                   number, bytes, settings_.url.c_str(), maxPacket_);
    else
        consoleOut(LineKind::Warning,
                   "MQTT: scan %llu (%zu bytes) is larger than the broker at %s takes; dropped it, counted in /status "
                   "as rejected\n",
                   number, bytes, settings_.url.c_str());
    flushConsole();
}

void MqttPublisher::deliveredFront() {
    {
        std::lock_guard<std::mutex> lock(guard_);
        inFlight_ = false;
        deliveredThrough_ = lastSeq_ = queue_.front().seq;
        queue_.pop_front();
        ++published_;
    }
    offerBackoff_ = std::chrono::seconds(1);
    if (std::exchange(refusing_, false))
        sayOfBroker(LineKind::Event, "MQTT: the broker at %s takes scans again\n", settings_.url);
}

void MqttPublisher::disconnect(const std::string& why) {
    const bool wasConnected = connected_;
    // A TLS connection that never opened would fail so again; one that
    // opened and then failed is an outage. The broker may close before its
    // alert is read: then libmosquitto's "Protocol error" is all there is.
    std::string tlsRefusal = std::exchange(tlsProblem_, {});
    const bool tlsFailed = why == strerror(EPROTO) || why == mosquitto_strerror(MOSQ_ERR_TLS);
    if (tlsRefusal.empty() && settings_.tls && tlsFailed) tlsRefusal = why;
    if (wasConnected) tlsRefusal.clear();
    const bool refusal = std::exchange(connectRefused_, false) || !tlsRefusal.empty();
    const bool login = std::exchange(loginRefused_, false);
    mosquitto_destroy(client_);
    client_ = nullptr;
    connected_ = false;
    {
        std::lock_guard<std::mutex> lock(guard_);
        inFlight_ = false;
    }
    const std::chrono::seconds wait =
        refusal ? std::min<std::chrono::seconds>(backoff_ * kRefusalFactor, kMaxRefusalBackoff) : backoff_;
    nextAttempt_ = Clock::now() + wait;
    if (!tlsRefusal.empty())
        sayTlsRefusal(tlsRefusal, wait);
    else
        sayOfBroker(login ? LineKind::Error : LineKind::Warning,
                    login          ? "MQTT: the broker at %s refused the login (%s): check the user and password in "
                                     "--mqtt-credentials, trying again in %ld s\n"
                    : wasConnected ? "MQTT: lost the broker at %s (%s), trying again in %ld s\n"
                                   : "MQTT: cannot reach the broker at %s (%s), trying again in %ld s\n",
                    settings_.url, why, static_cast<long>(wait.count()));
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
}

// A TLS connection that failed says what to mend: this box's trust in the
// broker, or the broker's in this box. Either stays until someone mends it.
void MqttPublisher::sayTlsRefusal(const std::string& reason, std::chrono::seconds wait) {
    const char* advice =
        reason.find("certificate verify failed") != std::string::npos
            ? "the broker's certificate is not one this box trusts: check --mqtt-cafile (the CA that signed it) and "
              "the broker's name in --mqtt"
        : refusesOurCertificate(reason)
            ? "the broker refused this box's certificate: check --mqtt-cert and --mqtt-key"
            : "check that it speaks TLS on that port, and --mqtt-cafile, --mqtt-cert and --mqtt-key";
    consoleOut(LineKind::Error, "MQTT: TLS with the broker at %s failed (%s): %s, trying again in %ld s\n",
               settings_.url.c_str(), reason.c_str(), advice, static_cast<long>(wait.count()));
    flushConsole();
}

void MqttPublisher::waitForWork(Clock::duration timeout) {
    pollfd wake{wakeFd_, POLLIN, 0};
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count() + 1;
    poll(&wake, 1, static_cast<int>(std::min<long long>(millis, 1000)));
}

// The relay has ended: what is queued gets a moment to go out, then the
// retained status says offline and the connection closes.
void MqttPublisher::finish() {
    if (client_ != nullptr) sayOfflineAfterDraining();
    forgetDelivered(true);
    std::size_t waiting = 0, lost = 0;
    {
        std::lock_guard<std::mutex> lock(guard_);
        waiting = queue_.size();
        lost = static_cast<std::size_t>(std::count_if(queue_.begin(), queue_.end(),
                                                      [](const OutboxScan& scan) { return !scan.onDisk; }));
    }
    if (waiting > lost)
        consoleOut(LineKind::Warning,
                   "MQTT outbox: %zu scans wait in %s for the broker; they go out after the next start\n",
                   waiting - lost, settings_.stateDir.c_str());
    if (lost > 0)
        consoleOut(LineKind::Error, "MQTT: %zu scans never reached the broker and could not be stored; they are lost\n",
                   lost);
    flushConsole();
}

void MqttPublisher::sayOfflineAfterDraining() {
    const auto deadline = Clock::now() + kDrainAtExit;
    auto queued = [this] {
        std::lock_guard<std::mutex> lock(guard_);
        return !queue_.empty();
    };
    while (connected_ && client_ != nullptr && queued() && Clock::now() < deadline)
        serveConnection(std::chrono::milliseconds(50));
    if (connected_ && client_ != nullptr) {
        sayingOffline_ = true;
        inFlight_ = true;  // nothing else goes out now
        mosquitto_publish(client_, &inFlightId_, statusTopic_.c_str(), 7, "offline", 1, true);
        while (connected_ && client_ != nullptr && inFlight_ && Clock::now() < deadline + kDrainAtExit)
            serveConnection(std::chrono::milliseconds(50));
        if (client_ != nullptr) {
            mosquitto_disconnect(client_);
            mosquitto_loop_write(client_, 1);
        }
    }
    if (client_ != nullptr) mosquitto_destroy(client_);
    client_ = nullptr;
}

void MqttPublisher::onConnect(mosquitto* client, void* self, int result, int, const mosquitto_property* properties) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    if (result != 0 && publisher.protocolV5_ && unsupportedProtocol(result)) {
        publisher.protocolV5_ = false;
        publisher.lost_ = "it speaks MQTT 3.1.1 only: scans go on without their sequence numbers";
        return;
    }
    if (result != 0) {
        const char* reason =
            publisher.protocolV5_ ? mosquitto_reason_string(result) : mosquitto_connack_string(result);
        publisher.connectRefused_ = true;
        publisher.loginRefused_ = loginRefusal(result, publisher.protocolV5_);
        publisher.lost_ = publisher.loginRefused_ ? reason : std::string("refused: ") + reason;
        return;
    }
    // libmosquitto refuses to send a packet past it; the number is for the
    // console line.
    publisher.maxPacket_ = 0;
    mosquitto_property_read_int32(properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, &publisher.maxPacket_, false);
    publisher.connected_ = true;
    publisher.backoff_ = std::chrono::seconds(1);
    publisher.nextOffer_ = {};  // perhaps a mended broker: refused scans go at once
    mosquitto_publish(client, nullptr, publisher.statusTopic_.c_str(), 6, "online", 1, true);
    sayOfBroker(LineKind::Event, "MQTT: connected to the broker at %s, publishing to %s\n", publisher.settings_.url,
                publisher.settings_.topic);
}

void MqttPublisher::onDisconnect(mosquitto*, void* self, int result) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    if (publisher.lost_.empty()) publisher.lost_ = result == 0 ? "disconnected" : mosquitto_strerror(result);
}

// Reason codes of 0x80 and above say the broker did not take it.
void MqttPublisher::onPublish(mosquitto*, void* self, int messageId, int reason, const mosquitto_property*) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    if (!publisher.inFlight_ || messageId != publisher.inFlightId_) return;
    if (publisher.sayingOffline_) {
        publisher.inFlight_ = false;
        return;
    }
    if (reason == MQTT_RC_PACKET_TOO_LARGE) {
        std::size_t bytes = 0;
        {
            std::lock_guard<std::mutex> lock(publisher.guard_);
            bytes = publisher.queue_.front().message.size();
        }
        return publisher.rejectFront(bytes);
    }
    if (reason >= 0x80) return publisher.refused(mosquitto_reason_string(reason));
    publisher.deliveredFront();
}

namespace {

MqttPublisher& publisherOf(const SSL* ssl) {
    return *static_cast<MqttPublisher*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

}  // namespace

int MqttPublisher::onVerify(int ok, X509_STORE_CTX* store) {
    if (ok == 1) return ok;
    const auto* ssl = static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    MqttPublisher& publisher = publisherOf(ssl);
    if (publisher.tlsProblem_.empty())
        publisher.tlsProblem_ = std::string("certificate verify failed: ") +
                                X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    return ok;
}

void MqttPublisher::onTlsEvent(const SSL* ssl, int where, int alert) {
    const bool received = (where & SSL_CB_ALERT) != 0 && (where & SSL_CB_READ) != 0;
    if (!received || strcmp(SSL_alert_type_string(alert), "F") != 0) return;
    MqttPublisher& publisher = publisherOf(ssl);
    if (!publisher.tlsProblem_.empty()) return;
    // TLS 1.3's alert for a missing certificate is newer than OpenSSL's names.
    constexpr int kCertificateRequired = 116;
    const int description = alert & 0xff;
    publisher.tlsProblem_ = std::string("alert: ") + (description == kCertificateRequired
                                                          ? "certificate required"
                                                          : SSL_alert_desc_string_long(alert));
}

// libmosquitto tells why a TLS connection failed only in its log: OpenSSL's
// reason, as "OpenSSL Error[0]: error:0A00010B:SSL routines::wrong version
// number" from a port that speaks no TLS. The first one is kept for the
// console line.
void MqttPublisher::onLog(mosquitto*, void* self, int level, const char* text) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    const std::string line = text != nullptr ? text : "";
    if (level != MOSQ_LOG_ERR || line.rfind("OpenSSL Error", 0) != 0 || !publisher.tlsProblem_.empty()) return;
    const auto colon = line.rfind(':');
    publisher.tlsProblem_ = line.substr(colon + 1 < line.size() ? colon + 1 : 0);
}
