#include "origin_policy.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool validHostAndPort(const std::string& rest) {
    if (rest.empty()) return false;
    return std::all_of(rest.begin(), rest.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
    });
}

}  // namespace

std::optional<std::string> normalizedOrigin(std::string_view text) {
    std::string origin = lowerCase(text);
    if (!origin.empty() && origin.back() == '/') origin.pop_back();
    for (const auto& [scheme, defaultPort] : {std::pair<std::string, std::string>{"http://", ":80"},
                                              std::pair<std::string, std::string>{"https://", ":443"}}) {
        if (origin.compare(0, scheme.size(), scheme) != 0) continue;
        if (endsWith(origin, defaultPort)) origin.resize(origin.size() - defaultPort.size());
        if (!validHostAndPort(origin.substr(scheme.size()))) return std::nullopt;
        return origin;
    }
    return std::nullopt;
}

bool OriginPolicy::allows(std::string_view origin, std::string_view host, std::string_view scheme) const {
    if (allowed_.empty() || origin.empty()) return true;
    const auto given = normalizedOrigin(origin);
    if (!given) return false;
    if (given == normalizedOrigin(std::string(scheme) + "://" + std::string(host))) return true;
    return std::find(allowed_.begin(), allowed_.end(), *given) != allowed_.end();
}
