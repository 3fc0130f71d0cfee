#include "mqtt_watcher.h"

#include <mosquitto.h>

MqttWatcher::MqttWatcher(int port, const std::string& topic) : topic_(topic) {
    mosquitto_lib_init();
    client_ = mosquitto_new("tirn-bench", true, this);
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_subscribe_callback_set(client_, onSubscribe);
    mosquitto_message_callback_set(client_, onMessage);
    mosquitto_connect_async(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
}

MqttWatcher::~MqttWatcher() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
}

void MqttWatcher::onConnect(mosquitto* client, void* self, int result) {
    if (result == 0) mosquitto_subscribe(client, nullptr, static_cast<MqttWatcher*>(self)->topic_.c_str(), 1);
}

void MqttWatcher::onSubscribe(mosquitto*, void* self, int, int, const int*) {
    auto& watcher = *static_cast<MqttWatcher*>(self);
    std::lock_guard<std::mutex> lock(watcher.mutex_);
    watcher.subscribed_ = true;
    watcher.changed_.notify_all();
}

void MqttWatcher::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    const auto at = Clock::now();
    auto& watcher = *static_cast<MqttWatcher*>(self);
    std::lock_guard<std::mutex> lock(watcher.mutex_);
    if (watcher.received_++ == 0) watcher.firstAt_ = at;
    watcher.payloads_.emplace_back(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen));
    watcher.lastAt_ = at;
    watcher.changed_.notify_all();
}

bool MqttWatcher::waitUntilSubscribed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return subscribed_; });
}

int MqttWatcher::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

MqttWatcher::Clock::time_point MqttWatcher::firstAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstAt_;
}

std::vector<std::string> MqttWatcher::payloads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return payloads_;
}

bool MqttWatcher::waitForCount(int count, std::chrono::milliseconds timeout, Clock::time_point& at) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this, count] { return received_ >= count; })) return false;
    at = lastAt_;
    return true;
}
