// Which web pages may read scans. Browsers let any page open a WebSocket to
// any host and only say where the page came from (Origin); the server must
// refuse what it does not trust.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An origin as browsers send it: scheme, host and port, lower case, without
// the scheme's default port or a trailing slash. Nothing when the text is no
// http or https origin.
std::optional<std::string> normalizedOrigin(std::string_view origin);

class OriginPolicy {
public:
    OriginPolicy() = default;
    // Origins already normalized; none means every origin is allowed.
    explicit OriginPolicy(std::vector<std::string> allowed) : allowed_(std::move(allowed)) {}

    // A handshake without Origin is no browser's; a page may always connect
    // back to the service that served it (its Host, by the given scheme).
    bool allows(std::string_view origin, std::string_view host, std::string_view scheme) const;

private:
    std::vector<std::string> allowed_;
};
