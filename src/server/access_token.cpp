#include "access_token.h"

#include <openssl/crypto.h>
#include <strings.h>

bool tokenMatches(const std::string& token, std::string_view given) {
    // Compared over the token's length whatever is given; only the length
    // of a wrong guess may show.
    const std::string candidate = given.size() == token.size() ? std::string(given) : std::string(token.size(), '\0');
    return CRYPTO_memcmp(candidate.data(), token.data(), token.size()) == 0 && given.size() == token.size() &&
           !token.empty();
}

bool bearerMatches(const std::string& token, std::string_view authorization) {
    constexpr std::string_view scheme = "Bearer ";
    if (authorization.size() < scheme.size() || strncasecmp(authorization.data(), scheme.data(), scheme.size()) != 0)
        return false;
    authorization.remove_prefix(scheme.size());
    while (!authorization.empty() && authorization.front() == ' ') authorization.remove_prefix(1);
    while (!authorization.empty() && authorization.back() == ' ') authorization.remove_suffix(1);
    return tokenMatches(token, authorization);
}
