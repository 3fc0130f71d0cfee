#include "request_target.h"

#include <strings.h>

#include <string_view>
#include <utility>

namespace http = boost::beast::http;

RequestTarget targetOf(const HttpRequest& request) {
    std::string_view target(request.target().data(), request.target().size());
    std::string_view host(request[http::field::host].data(), request[http::field::host].size());
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (target.size() < scheme.size() || strncasecmp(target.data(), scheme.data(), scheme.size()) != 0) continue;
        const std::string_view rest = target.substr(scheme.size());
        const auto pathStart = rest.find_first_of("/?");
        host = rest.substr(0, pathStart);
        if (const auto userinfo = host.rfind('@'); userinfo != std::string_view::npos) host.remove_prefix(userinfo + 1);
        target = pathStart == std::string_view::npos ? std::string_view("/") : rest.substr(pathStart);
        if (!target.empty() && target.front() == '?') target = "/";
        break;
    }
    const auto queryStart = target.find('?');
    const std::string_view query = queryStart == std::string_view::npos ? std::string_view() : target.substr(queryStart + 1);
    return {std::string(host), std::string(target.substr(0, queryStart)), std::string(query)};
}

std::vector<std::string> queryParameters(std::string_view query, std::string_view name, std::size_t limit) {
    std::vector<std::string> values;
    while (!query.empty() && values.size() <= limit) {
        const auto end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const auto equals = pair.find('=');
        if (pair.substr(0, equals) == name)
            values.emplace_back(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (end == std::string_view::npos) break;
        query.remove_prefix(end + 1);
    }
    return values;
}

std::optional<std::string> queryParameter(std::string_view query, std::string_view name) {
    std::vector<std::string> values = queryParameters(query, name, 0);
    if (values.empty()) return std::nullopt;
    return std::move(values.front());
}

namespace {

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentDecoded(std::string_view value) {
    std::string decoded;
    decoded.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const int high = value[i] == '%' && i + 2 < value.size() ? hexValue(value[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(value[i + 2]) : -1;
        if (low < 0) {
            decoded += value[i];
            continue;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}
