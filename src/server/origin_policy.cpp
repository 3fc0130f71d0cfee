#include "server/origin_policy.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

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

// The host of a Host header, without its port and brackets, lower case.
std::string hostWithoutPort(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        return lowerCase(host.substr(1, close == std::string_view::npos ? host.npos : close - 1));
    }
    const auto colon = host.find(':');
    std::string name = lowerCase(host.substr(0, colon));
    if (!name.empty() && name.back() == '.') name.pop_back();  // the root's dot
    return name;
}

// An address in its binary form, for comparing spellings of one address.
std::optional<std::string> addressBytes(const std::string& text) {
    unsigned char bytes[sizeof(in6_addr)] = {};
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        // As an IPv4-mapped IPv6 address, which is how a dual-stack socket
        // reports IPv4 clients.
        unsigned char mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        memcpy(mapped + 12, bytes, 4);
        return std::string(reinterpret_cast<char*>(mapped), 16);
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 16);
    return std::nullopt;
}

bool loopback(const std::string& address) {
    static const std::string ipv6Loopback(15, '\0');
    const bool mappedIpv4 = address.compare(0, 12, std::string("\0\0\0\0\0\0\0\0\0\0\xFF\xFF", 12)) == 0;
    return (mappedIpv4 && address[12] == 127) || address == ipv6Loopback + '\1';
}

std::string machineName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return lowerCase(name);
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

bool validServerName(std::string_view name) {
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.front() == '-') return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; });
}

OriginPolicy::OriginPolicy(std::vector<std::string> allowedOrigins, std::vector<std::string> serverNames)
    : allowed_(std::move(allowedOrigins)), names_(std::move(serverNames)) {
    for (std::string& name : names_) name = lowerCase(name);
    if (const std::string machine = machineName(); !machine.empty()) {
        names_.push_back(machine);
        names_.push_back(machine + ".local");  // as the box announces itself on the local network
    }
}

bool OriginPolicy::answersTo(std::string_view host, std::string_view localAddress) const {
    const std::string name = hostWithoutPort(host);
    if (const auto address = addressBytes(name))
        return loopback(*address) || address == addressBytes(hostWithoutPort(localAddress));
    if (name == "localhost" || endsWith(name, ".localhost")) return true;
    return std::find(names_.begin(), names_.end(), name) != names_.end();
}

OriginPolicy::Verdict OriginPolicy::judge(std::string_view origin, std::string_view host, std::string_view scheme,
                                          std::string_view localAddress) const {
    if (allowed_.empty()) return Verdict::Allowed;
    if (!answersTo(host, localAddress)) return Verdict::UnknownHost;
    if (origin.empty()) return Verdict::Allowed;
    const auto given = normalizedOrigin(origin);
    if (!given) return Verdict::ForeignOrigin;
    if (given == normalizedOrigin(std::string(scheme) + "://" + std::string(host))) return Verdict::Allowed;
    const bool listed = std::find(allowed_.begin(), allowed_.end(), *given) != allowed_.end();
    return listed ? Verdict::Allowed : Verdict::ForeignOrigin;
}
