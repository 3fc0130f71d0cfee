// The service's own web page, built into the binary: its HTML, script and
// style by path.
#pragma once

#include <string_view>

struct PageAsset {
    const char* contentType;
    std::string_view content;
};

// Null for a path that is no part of the page.
const PageAsset* pageAsset(std::string_view path);
