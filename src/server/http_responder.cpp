#include "http_responder.h"

#include "access_token.h"
#include "live_page.h"
#include "request_target.h"
#include "server_context.h"

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

// The figures take the token where the service has one; the page, its
// script and style stay public.
bool authorized(const HttpRequest& request, server::Context& context) {
    const std::string& token = context.settings().token;
    if (token.empty()) return true;
    const auto header = request[http::field::authorization];
    return bearerMatches(token, std::string_view(header.data(), header.size()));
}

// A shared asset is revalidated rather than fetched again: a till page
// imports the library on every load.
HttpResponse assetResponse(const PageAsset& asset, const HttpRequest& request) {
    const unsigned version = request.version();
    if (!asset.shared) {
        HttpResponse response = withBody(http::status::ok, version, asset.contentType, std::string(asset.content));
        response.set("Content-Security-Policy", kPagePolicy);
        response.set("Referrer-Policy", "no-referrer");
        return response;
    }
    const std::string tag = entityTag(asset.content);
    const auto asked = request[http::field::if_none_match];
    const bool unchanged = std::string_view(asked.data(), asked.size()) == tag;
    HttpResponse response = withBody(unchanged ? http::status::not_modified : http::status::ok, version,
                                     asset.contentType, unchanged ? std::string() : std::string(asset.content));
    response.set(http::field::cache_control, "no-cache");
    response.set(http::field::etag, tag);
    response.set(http::field::access_control_allow_origin, "*");
    return response;
}

}  // namespace

HttpResponse plainResponse(http::status status, unsigned version, const char* why) {
    std::string body(http::obsolete_reason(status));
    if (why != nullptr) body += std::string(": ") + why;
    return withBody(status, version, "text/plain; charset=utf-8", body + "\n");
}

HttpResponse respondTo(const HttpRequest& request, server::Context& context) {
    const unsigned version = request.version();
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        HttpResponse refused = plainResponse(http::status::method_not_allowed, version);
        refused.set(http::field::allow, "GET, HEAD");
        return refused;
    }
    const std::string path = targetOf(request).path;

    HttpResponse response = plainResponse(http::status::not_found, version);
    if (const PageAsset* asset = pageAsset(path)) {
        response = assetResponse(*asset, request);
    } else if ((path == "/status" || path == "/metrics") && !authorized(request, context)) {
        response = plainResponse(http::status::unauthorized, version, "the access token is needed: Authorization: Bearer TOKEN");
        response.set(http::field::www_authenticate, "Bearer");
    } else if (const ServerContent* content = context.settings().content; content && content->serves(path)) {
        if (!authorized(request, context)) {
            response = plainResponse(http::status::unauthorized, version,
                                     "the access token is needed: Authorization: Bearer TOKEN");
            response.set(http::field::www_authenticate, "Bearer");
        } else {
            const ServedDocument document = content->document(path, targetOf(request).query);
            response = withBody(static_cast<http::status>(document.status), version, document.contentType.c_str(),
                                document.body);
            for (const auto& [name, value] : document.headers) response.set(name, value);
        }
    } else if (path == "/status") {
        response = withBody(http::status::ok, version, "application/json", context.figures().statusJson());
    } else if (path == "/metrics") {
        response = withBody(http::status::ok, version, "text/plain; version=0.0.4; charset=utf-8",
                            context.figures().metricsText());
    }
    if (request.method() == http::verb::head) {
        // The headers GET would have, its length included, and no body.
        const std::size_t length = response.body().size();
        response.body().clear();
        response.content_length(length);
    }
    return response;
}
