#include "live_page.h"

#include "live_page_assets.inc"

const PageAsset* pageAsset(std::string_view path) {
    static const PageAsset page{"text/html; charset=utf-8", k_index_html};
    static const PageAsset script{"text/javascript; charset=utf-8", k_app_js};
    static const PageAsset style{"text/css; charset=utf-8", k_app_css};
    if (path == "/" || path == "/index.html") return &page;
    if (path == "/app.js") return &script;
    if (path == "/app.css") return &style;
    return nullptr;
}
