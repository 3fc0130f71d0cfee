// The service's own web page, built into the binary: its HTML, script and
// style by path, and the client library that pages of other origins import.
#pragma once

#include <string>
#include <string_view>

struct PageAsset {
    const char* contentType;
    std::string_view content;
    // Shared: any origin may import it, and a browser keeps it, asking
    // again (ETag) each time, since it changes with the service.
    bool shared = false;
};

// The entity tag of an asset's content.
std::string entityTag(std::string_view content);

// Null for a path that is no part of the page.
const PageAsset* pageAsset(std::string_view path);
