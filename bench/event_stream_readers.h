// Event streams (GET /events) that read everything they are sent and throw
// it away, on a thread of their own, as browsers' EventSource would.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

class EventStreamReaders {
public:
    // Opens `count` streams of 127.0.0.1:9010 asking for `target`.
    EventStreamReaders(int count, const std::string& target);
    // Closes them.
    ~EventStreamReaders();
    EventStreamReaders(const EventStreamReaders&) = delete;
    EventStreamReaders& operator=(const EventStreamReaders&) = delete;

private:
    void readAll();

    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};
