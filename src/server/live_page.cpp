#include "live_page.h"

#include <cstdint>
#include <cstdio>

#include "live_page_assets.inc"

const PageAsset* pageAsset(std::string_view path) {
    static const PageAsset page{"text/html; charset=utf-8", k_index_html};
    static const PageAsset script{"text/javascript; charset=utf-8", k_app_js};
    static const PageAsset style{"text/css; charset=utf-8", k_app_css};
    static const PageAsset library{"text/javascript; charset=utf-8", k_tirnserial_js, true};
    // The library's types, for an app's editor and tsc; shared as the library is.
    static const PageAsset types{"application/typescript; charset=utf-8", k_tirnserial_d_ts, true};
    if (path == "/" || path == "/index.html") return &page;
    if (path == "/app.js") return &script;
    if (path == "/app.css") return &style;
    if (path == "/tirnserial.js") return &library;
    if (path == "/tirnserial.d.ts") return &types;
    return nullptr;
}

// FNV-1a: the tag only has to change when the content does.
std::string entityTag(std::string_view content) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : content) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char tag[24];
    std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return tag;
}
