#include "client_summary.h"

std::string ClientSummary::due(std::size_t subscribed, Clock::time_point now) {
    if (lastLine_ && now - *lastLine_ < kInterval) return "";
    if (joined_ == 0 && left_ == 0 && subscribed == lastSubscribed_) return "";
    lastLine_ = now;
    lastSubscribed_ = subscribed;
    const unsigned long joined = joined_.exchange(0), left = left_.exchange(0);
    return "clients: " + std::to_string(subscribed) + " subscribed; " + std::to_string(joined) + " joined, " +
           std::to_string(left) + " left since the last line";
}
