#include "http_responder.h"

#include "live_page.h"
#include "server_context.h"
#include "service_stats.h"

namespace http = boost::beast::http;

namespace {

// The page loads nothing but its own script and style, and talks to no
// other host than the one that served it.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

HttpResponse withBody(http::status status, unsigned version, const char* contentType, std::string body) {
    HttpResponse response{status, version};
    response.set(http::field::server, "TirnSerial");
    response.set(http::field::content_type, contentType);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.keep_alive(false);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

}  // namespace

HttpResponse plainResponse(http::status status, unsigned version) {
    return withBody(status, version, "text/plain; charset=utf-8", std::string(http::obsolete_reason(status)) + "\n");
}

HttpResponse respondTo(const HttpRequest& request, WsContext& context) {
    const unsigned version = request.version();
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        HttpResponse refused = plainResponse(http::status::method_not_allowed, version);
        refused.set(http::field::allow, "GET, HEAD");
        return refused;
    }
    const std::string_view target(request.target().data(), request.target().size());
    const std::string_view path = target.substr(0, target.find('?'));

    HttpResponse response = plainResponse(http::status::not_found, version);
    if (const PageAsset* asset = pageAsset(path)) {
        response = withBody(http::status::ok, version, asset->contentType, std::string(asset->content));
        response.set("Content-Security-Policy", kPagePolicy);
        response.set("Referrer-Policy", "no-referrer");
    } else if (path == "/status") {
        response = withBody(http::status::ok, version, "application/json", context.stats().statusJson());
    } else if (path == "/metrics") {
        response = withBody(http::status::ok, version, "text/plain; version=0.0.4; charset=utf-8",
                            context.stats().metricsText());
    }
    if (request.method() == http::verb::head) {
        response.body().clear();
        response.prepare_payload();
    }
    return response;
}
