#include "text/scan_message.h"

#include <cjson/cJSON.h>

#include <cstdlib>

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

}  // namespace

std::string enJsonFormat(std::uint64_t size, std::string data) {
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr) return {};

    const bool complete =
        addMember(root, "type", cJSON_CreateString("BARCODE_GUN")) &&
        addMember(root, "size", cJSON_CreateNumber(static_cast<double>(size))) &&
        addMember(root, "Data", cJSON_CreateString(data.c_str()));
    char* printed = complete ? cJSON_Print(root) : nullptr;
    cJSON_Delete(root);
    if (printed == nullptr) return {};

    std::string message(printed);
    free(printed);
    return message;
}
