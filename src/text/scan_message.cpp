#include "text/scan_message.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// Adds item under name; on failure the item is released, since the object
// did not take it.
bool addMember(cJSON* object, const char* name, cJSON* item) {
    if (item == nullptr) return false;
    if (!cJSON_AddItemToObject(object, name, item)) {
        cJSON_Delete(item);
        return false;
    }
    return true;
}

// The scan's members as every client has always had them.
bool addScanMembers(cJSON* root, std::uint64_t size, const std::string& data) {
    return addMember(root, "type", cJSON_CreateString("BARCODE_GUN")) &&
           addMember(root, "size", cJSON_CreateNumber(static_cast<double>(size))) &&
           addMember(root, "Data", cJSON_CreateString(data.c_str()));
}

// Printed and released; empty if it could not be printed.
std::string printed(cJSON* root, bool complete) {
    char* text = complete ? cJSON_Print(root) : nullptr;
    cJSON_Delete(root);
    if (text == nullptr) return {};
    std::string message(text);
    free(text);
    return message;
}

cJSON* symbologyObject(const Symbology& symbology) {
    cJSON* object = cJSON_CreateObject();
    if (object != nullptr && addMember(object, "id", cJSON_CreateString(symbology.id.c_str())) &&
        addMember(object, "name", cJSON_CreateString(symbology.name.c_str())))
        return object;
    cJSON_Delete(object);
    return nullptr;
}

// AIs to values in the order the scan has them (cJSON keeps the order
// members are added in).
cJSON* gs1Object(const std::vector<std::pair<std::string, std::string>>& fields) {
    cJSON* object = cJSON_CreateObject();
    if (object == nullptr) return nullptr;
    for (const auto& [ai, value] : fields)
        if (!addMember(object, ai.c_str(), cJSON_CreateString(value.c_str()))) {
            cJSON_Delete(object);
            return nullptr;
        }
    return object;
}

// The members about the scan's content; a value with a zero byte is cut
// there, as "Data" is.
bool addContentMembers(cJSON* root, const ScanContent& content) {
    const ScanReading& reading = content.reading;
    if (reading.symbology && !addMember(root, "symbology", symbologyObject(*reading.symbology))) return false;
    if (content.withText && !addMember(root, "text", cJSON_CreateString(reading.text.c_str()))) return false;
    if (!reading.gs1.empty()) return addMember(root, "gs1", gs1Object(reading.gs1));
    if (!reading.gs1Error.empty()) return addMember(root, "gs1_error", cJSON_CreateString(reading.gs1Error.c_str()));
    return true;
}

}  // namespace

std::string enJsonFormat(std::uint64_t size, std::string data) {
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr) return {};
    return printed(root, addScanMembers(root, size, data));
}

std::string numberedScanMessage(std::uint64_t size, std::string data, std::uint64_t seq,
                                std::chrono::system_clock::time_point time, const std::string& scanner,
                                const ScanContent& content) {
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr) return {};
    // Raw: cJSON prints numbers through a double, which would turn a large
    // number into an exponent.
    const bool complete = addScanMembers(root, size, data) &&
                          addMember(root, "seq", cJSON_CreateRaw(std::to_string(seq).c_str())) &&
                          addMember(root, "time", cJSON_CreateString(utcMilliseconds(time).c_str())) &&
                          addMember(root, "scanner", cJSON_CreateString(scanner.c_str())) &&
                          addContentMembers(root, content);
    return printed(root, complete);
}

std::string utcMilliseconds(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const long millis = static_cast<long>(ms - static_cast<long long>(seconds) * 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", millis);
    return text;
}
