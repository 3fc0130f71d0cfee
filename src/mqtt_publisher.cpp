#include "mqtt_publisher.h"

#include "console.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr auto kMaxBackoff = std::chrono::seconds(30);
// A broker that takes the connection but never answers it.
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr int kKeepAliveSeconds = 30;
// What the queue may still send at the end, and the offline message after.
constexpr auto kDrainAtExit = std::chrono::seconds(2);

void say(const char* format, const std::string& a, const std::string& b = "", long n = 0) {
    printf(format, a.c_str(), b.c_str(), n);
    flushConsole();
}

std::string clientId() {
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    return std::string("tirnserial-") + host + "-" + std::to_string(getpid());
}

}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings)
    : settings_(std::move(settings)),
      statusTopic_(settings_.statusTopic()),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    mosquitto_lib_init();
    thread_ = std::thread([this] { run(); });
}

MqttPublisher::~MqttPublisher() {
    stopping_ = true;
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The thread still sees stopping_ within its poll timeout.
    }
    thread_.join();
    close(wakeFd_);
    mosquitto_lib_cleanup();
}

void MqttPublisher::publish(const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(guard_);
        if (queue_.size() >= settings_.queueLimit) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(message);
    }
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // Already woken: the counter is at its limit.
    }
}

BrokerFigures MqttPublisher::figures() const {
    std::lock_guard<std::mutex> lock(guard_);
    return {connected_, published_, queue_.size(), dropped_};
}

void MqttPublisher::run() {
    while (!stopping_) {
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

void MqttPublisher::connect() {
    attemptStarted_ = Clock::now();
    client_ = mosquitto_new(clientId().c_str(), true, this);
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_publish_callback_set(client_, onPublish);
    if (!settings_.user.empty())
        mosquitto_username_pw_set(client_, settings_.user.c_str(), settings_.password.c_str());
    mosquitto_will_set(client_, statusTopic_.c_str(), 7, "offline", 1, true);
    if (settings_.tls) mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    const int result = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (result != MOSQ_ERR_SUCCESS)
        disconnect(result == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(result));
}

// Reads, writes and keeps the connection alive until `timeout` passes or
// a scan waits; then sends the next one if it may.
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
    if (!connected_ || inFlight_) return;
    std::string message;
    {
        std::lock_guard<std::mutex> lock(guard_);
        if (queue_.empty()) return;
        message = queue_.front();
    }
    inFlight_ = true;
    const int result = mosquitto_publish(client_, &inFlightId_, settings_.topic.c_str(),
                                         static_cast<int>(message.size()), message.data(), settings_.qos, false);
    if (result != MOSQ_ERR_SUCCESS) {
        inFlight_ = false;
        lost_ = mosquitto_strerror(result);
    }
}

void MqttPublisher::disconnect(const std::string& why) {
    const bool wasConnected = connected_;
    mosquitto_destroy(client_);
    client_ = nullptr;
    connected_ = false;
    inFlight_ = false;
    nextAttempt_ = Clock::now() + backoff_;
    say(wasConnected ? "MQTT: lost the broker at %s (%s), trying again in %ld s\n"
                     : "MQTT: cannot reach the broker at %s (%s), trying again in %ld s\n",
        settings_.url, why, static_cast<long>(backoff_.count()));
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
}

void MqttPublisher::waitForWork(Clock::duration timeout) {
    pollfd wake{wakeFd_, POLLIN, 0};
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count() + 1;
    poll(&wake, 1, static_cast<int>(std::min<long long>(millis, 1000)));
}

// The relay has ended: what is queued gets a moment to go out, then the
// retained status says offline and the connection closes.
void MqttPublisher::finish() {
    if (client_ == nullptr) return;
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

void MqttPublisher::onConnect(mosquitto* client, void* self, int result) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    if (result != 0) {
        publisher.lost_ = std::string("refused: ") + mosquitto_connack_string(result);
        return;
    }
    publisher.connected_ = true;
    publisher.backoff_ = std::chrono::seconds(1);
    mosquitto_publish(client, nullptr, publisher.statusTopic_.c_str(), 6, "online", 1, true);
    say("MQTT: connected to the broker at %s, publishing to %s\n", publisher.settings_.url, publisher.settings_.topic);
}

void MqttPublisher::onDisconnect(mosquitto*, void* self, int result) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    if (publisher.lost_.empty()) publisher.lost_ = result == 0 ? "disconnected" : mosquitto_strerror(result);
}

void MqttPublisher::onPublish(mosquitto*, void* self, int messageId) {
    auto& publisher = *static_cast<MqttPublisher*>(self);
    if (!publisher.inFlight_ || messageId != publisher.inFlightId_) return;
    publisher.inFlight_ = false;
    if (publisher.sayingOffline_) return;
    std::lock_guard<std::mutex> lock(publisher.guard_);
    publisher.queue_.pop_front();
    ++publisher.published_;
}
