// A subscriber on an MQTT broker for the benchmark: counts what arrives on
// one topic and when, on libmosquitto's own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

class MqttWatcher {
public:
    using Clock = std::chrono::steady_clock;

    MqttWatcher(int port, const std::string& topic);
    ~MqttWatcher();
    MqttWatcher(const MqttWatcher&) = delete;
    MqttWatcher& operator=(const MqttWatcher&) = delete;

    // Whether the subscription stands within the timeout.
    bool waitUntilSubscribed(std::chrono::milliseconds timeout);
    int received();
    // When the first message arrived, and the payloads in the order they did.
    Clock::time_point firstAt();
    std::vector<std::string> payloads();
    // Once `count` messages in all have arrived: when the latest did (one
    // per scan, so that scan's). False if they did not in time.
    bool waitForCount(int count, std::chrono::milliseconds timeout, Clock::time_point& at);

private:
    static void onConnect(mosquitto* client, void* self, int result);
    static void onSubscribe(mosquitto*, void* self, int, int, const int*);
    static void onMessage(mosquitto*, void* self, const struct mosquitto_message*);

    mosquitto* client_ = nullptr;
    std::string topic_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    int received_ = 0;
    Clock::time_point firstAt_, lastAt_;
    std::vector<std::string> payloads_;
};
