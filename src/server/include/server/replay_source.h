// Where a replay's messages come from once the first few are sent: read a
// few at a time, on the server thread, as the client takes them, so that a
// client asking for much holds little and never delays what others are sent.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace server {

class ReplaySource {
public:
    virtual ~ReplaySource() = default;
    // At most about `count` more messages, in order; none: the replay is over.
    virtual std::vector<std::shared_ptr<const std::string>> next(std::size_t count) = 0;
};

}  // namespace server
