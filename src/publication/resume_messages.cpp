#include "resume_messages.h"

#include <cjson/cJSON.h>

#include <memory>

namespace {

// Formatted as the scan message is.
std::string printed(const cJSON* message) {
    char* text = cJSON_Print(message);
    std::string copy = text != nullptr ? text : "";
    cJSON_free(text);
    return copy;
}

}  // namespace

std::string missedNotice(const ScansSince& found, std::uint64_t since, std::uint64_t last, bool filtered) {
    const std::unique_ptr<cJSON, void (*)(cJSON*)> notice(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(notice.get(), "type", "SCANS_MISSED");
    if (found.ahead || found.lost)
        cJSON_AddNullToObject(notice.get(), "count");
    else
        cJSON_AddNumberToObject(notice.get(), "count", static_cast<double>(found.missed));
    cJSON_AddNumberToObject(notice.get(), "since", static_cast<double>(since));
    if (found.scans.empty())
        cJSON_AddNullToObject(notice.get(), "first");
    else
        cJSON_AddNumberToObject(notice.get(), "first", static_cast<double>(found.scans.front().seq));
    cJSON_AddNumberToObject(notice.get(), "last", static_cast<double>(last));
    if (found.lost) cJSON_AddTrueToObject(notice.get(), "lost");
    if (filtered) cJSON_AddTrueToObject(notice.get(), "filtered");
    return printed(notice.get());
}

std::string missedMessage(const ScansSince& found, std::uint64_t since, std::uint64_t last, bool stream,
                          bool filtered) {
    const std::string notice = missedNotice(found, since, last, filtered);
    return stream ? streamEvent(0, "missed", notice) : notice;
}

std::string subscribedNotice(std::uint64_t last) {
    const std::unique_ptr<cJSON, void (*)(cJSON*)> notice(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(notice.get(), "type", "SUBSCRIBED");
    cJSON_AddNumberToObject(notice.get(), "last", static_cast<double>(last));
    return printed(notice.get());
}

std::string subscribedEvent(std::uint64_t last) {
    const std::unique_ptr<cJSON, void (*)(cJSON*)> data(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddNumberToObject(data.get(), "last", static_cast<double>(last));
    return streamEvent(0, "subscribed", printed(data.get()));
}

bool missedNoticeDue(const ScansSince& found) { return found.ahead || found.lost || found.missed > 0; }

// The formatted messages break lines and indent with tabs only between
// members: inside a string both are escaped. Without them the message is
// the same JSON on one line.
std::string streamEvent(std::uint64_t id, const char* type, const std::string& message) {
    std::string event;
    event.reserve(message.size() + 48);
    if (id != 0) event += "id: " + std::to_string(id) + "\n";
    if (type != nullptr) event += std::string("event: ") + type + "\n";
    event += "data: ";
    for (const char c : message)
        if (c != '\n' && c != '\t' && c != '\r') event.push_back(c);
    event += "\n\n";
    return event;
}

std::string scanEvent(const NumberedScan& scan) { return streamEvent(scan.seq, nullptr, *scan.numbered); }
