// Which web pages may read scans. Browsers let any page open a WebSocket to
// any host and only say where the page came from (Origin); the server must
// refuse what it does not trust. A page may also reach the service under a
// name of its own that resolves to this box (DNS rebinding): so the page's
// own origin counts only under a name this box answers to.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An origin as browsers send it: scheme, host and port, lower case, without
// the scheme's default port or a trailing slash. Nothing when the text is no
// http or https origin.
std::optional<std::string> normalizedOrigin(std::string_view origin);

// Whether the text is a host name: letters, digits, hyphens and dots.
bool validServerName(std::string_view name);

class OriginPolicy {
public:
    OriginPolicy() = default;
    // Origins and names already normalized; no origins means every page is
    // allowed. The machine's host name is one of the names, always.
    OriginPolicy(std::vector<std::string> allowedOrigins, std::vector<std::string> serverNames);

    enum class Verdict {
        Allowed,
        UnknownHost,    // the request names a host this box does not answer to
        ForeignOrigin,  // a page that is not on the list
    };

    // A handshake without Origin is no browser's; a page may always connect
    // back to the service that served it (its Host, by the given scheme)
    // when that Host is one of this box's names or addresses: loopback, the
    // address the client reached (`localAddress`), the host name, or a name
    // given as a server name. Without allowed origins, everything is allowed.
    Verdict judge(std::string_view origin, std::string_view host, std::string_view scheme,
                  std::string_view localAddress) const;

    // Whether requests are checked at all (origins were given).
    bool restricts() const { return !allowed_.empty(); }
    // Whether `host` (a Host header: name or address, with a port perhaps)
    // names this box.
    bool answersTo(std::string_view host, std::string_view localAddress) const;

private:
    std::vector<std::string> allowed_;
    std::vector<std::string> names_;
};
