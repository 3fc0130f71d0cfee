// Every scan's message published to an MQTT broker as well, from a thread
// of its own: the relay hands a message over and never waits for the
// broker. While the broker is down, slow or restarting, messages wait in a
// bounded queue (the oldest dropped first, counted) and go out in order once
// the connection is back; reconnection backs off up to 30 s. A retained
// status message says "online", and the broker says "offline" for us (our
// last will) when the connection is lost.
#pragma once

#include "mqtt_settings.h"
#include "service_stats.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;

class MqttPublisher {
public:
    explicit MqttPublisher(MqttSettings settings);
    // Gives queued messages a moment to go out, says "offline", disconnects.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Any thread; never blocks on the broker.
    void publish(const std::string& message);
    BrokerFigures figures() const;

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void connect();
    void serveConnection(Clock::duration timeout);
    void publishNext();
    void disconnect(const std::string& why);
    void finish();
    void waitForWork(Clock::duration timeout);

    static void onConnect(mosquitto* client, void* self, int result);
    static void onDisconnect(mosquitto* client, void* self, int result);
    static void onPublish(mosquitto* client, void* self, int messageId);

    const MqttSettings settings_;
    const std::string statusTopic_;
    mosquitto* client_ = nullptr;
    Clock::time_point attemptStarted_;
    Clock::time_point nextAttempt_;
    std::chrono::seconds backoff_{1};
    std::string lost_;          // why the connection should go, from a callback
    bool inFlight_ = false;     // the queue's front is on its way
    int inFlightId_ = 0;
    bool sayingOffline_ = false;  // the last message: the status, at the end
    int wakeFd_;

    mutable std::mutex guard_;  // the queue and the figures below
    std::deque<std::string> queue_;
    std::uint64_t published_ = 0;
    std::uint64_t dropped_ = 0;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
