// The clients in one line, which --log events prints in the place of a
// line per connection and per send: at most once a minute, and only when
// something changed. 1000 subscribers then cost the journal no more than
// one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

class ClientSummary {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kInterval{1};

    // Any thread: a connection opened or closed.
    void joined() { ++joined_; }
    void left() { ++left_; }

    // On one thread (the server's heartbeat): the line that is due now,
    // with `subscribed` clients; "" when none is.
    std::string due(std::size_t subscribed, Clock::time_point now);

private:
    std::atomic<unsigned long> joined_{0};
    std::atomic<unsigned long> left_{0};
    std::size_t lastSubscribed_ = 0;
    std::optional<Clock::time_point> lastLine_;
};
