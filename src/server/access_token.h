// The token that clients must show when the service has one: compared in
// constant time, so that how long a refusal takes tells nothing of the
// token.
#pragma once

#include <string>
#include <string_view>

// Whether `given` is exactly the token.
bool tokenMatches(const std::string& token, std::string_view given);

// Whether an Authorization header carries the token: "Bearer TOKEN".
bool bearerMatches(const std::string& token, std::string_view authorization);
