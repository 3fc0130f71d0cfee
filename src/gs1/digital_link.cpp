#include "digital_link.h"

#include "check_digit.h"

#include <optional>
#include <string>
#include <vector>

namespace {

struct UriParts {
    std::vector<std::string_view> segments;  // the path's, still percent-encoded
    std::string_view query;
};

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if ((text[i] | 0x20) != prefix[i]) return false;
    return true;
}

std::vector<std::string_view> splitAt(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t end; (end = text.find(separator)) != std::string_view::npos; text.remove_prefix(end + 1))
        parts.push_back(text.substr(0, end));
    parts.push_back(text);
    return parts;
}

std::optional<UriParts> splitUri(std::string_view text) {
    std::size_t schemeLength = 0;
    if (startsWithNoCase(text, "https://")) schemeLength = 8;
    else if (startsWithNoCase(text, "http://")) schemeLength = 7;
    else return std::nullopt;
    text.remove_prefix(schemeLength);
    text = text.substr(0, text.find('#'));
    const std::size_t queryAt = std::min(text.find('?'), text.size());
    const std::string_view authorityAndPath = text.substr(0, queryAt);
    const std::size_t pathAt = authorityAndPath.find('/');
    if (pathAt == std::string_view::npos || pathAt == 0) return std::nullopt;
    UriParts parts;
    parts.segments = splitAt(authorityAndPath.substr(pathAt + 1), '/');
    parts.query = text.substr(std::min(queryAt + 1, text.size()));
    return parts;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return std::nullopt;
        decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return decoded;
}

// Whether a path's value has the digits of the key's identifier: only then
// does the path claim to be a Digital Link (a date in a blog's path does not).
bool looksLikeKeyValue(const LinkKey& key, std::string_view value) {
    if (!allDigits(value)) return false;
    if (key.ai == "01") return value.size() == 8 || value.size() == 12 || value.size() == 13 || value.size() == 14;
    const AiRule* rule = ApplicationIdentifiers::table().ruleOf(key.ai);
    return rule && value.size() == rule->format.maxLength();
}

// Where the primary key stands among the segments: followed only by pairs.
std::optional<std::size_t> keyIndex(const std::vector<std::string_view>& segments) {
    const ApplicationIdentifiers& table = ApplicationIdentifiers::table();
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        const LinkKey* key = table.linkKey(segments[i]);
        if (key && (segments.size() - i) % 2 == 0 && looksLikeKeyValue(*key, segments[i + 1])) return i;
    }
    return std::nullopt;
}

std::string_view aiNamed(std::string_view aiOrShortName) {
    if (allDigits(aiOrShortName)) return aiOrShortName;
    return ApplicationIdentifiers::table().aiOfShortName(aiOrShortName);
}

// Whether the qualifiers follow, in order, one of the key's sequences.
bool qualifiersInOrder(const LinkKey& key, const std::vector<std::string_view>& qualifiers) {
    for (const std::vector<std::string>& sequence : key.qualifierSequences) {
        std::size_t next = 0;
        for (const std::string_view qualifier : qualifiers) {
            while (next < sequence.size() && sequence[next] != qualifier) ++next;
            if (next++ == sequence.size()) break;
        }
        if (next <= sequence.size()) return true;
    }
    return qualifiers.empty();
}

bool addDecoded(std::string_view ai, std::string_view encoded, Gs1Fields& fields) {
    const std::optional<std::string> value = percentDecoded(encoded);
    if (!value) return fields.fail("a malformed percent-escape");
    return fields.add(ai, *value);
}

bool readPath(const std::vector<std::string_view>& segments, std::size_t keyAt, Gs1Fields& fields) {
    const LinkKey& key = *ApplicationIdentifiers::table().linkKey(segments[keyAt]);
    std::string keyValue(segments[keyAt + 1]);
    if (key.ai == "01") keyValue.insert(0, 14 - keyValue.size(), '0');  // GTIN-8, -12, -13 as GTIN-14
    if (!fields.add(key.ai, keyValue)) return false;
    std::vector<std::string_view> qualifiers;
    for (std::size_t i = keyAt + 2; i < segments.size(); i += 2) {
        const std::string_view ai = aiNamed(segments[i]);
        if (ai.empty()) return fields.fail("unknown AI in the path");
        qualifiers.push_back(ai);
        if (!addDecoded(ai, segments[i + 1], fields)) return false;
    }
    return qualifiersInOrder(key, qualifiers) || fields.fail("qualifiers out of order or not of this key");
}

void readQuery(std::string_view query, Gs1Fields& fields) {
    if (query.empty()) return;
    for (const std::string_view parameter : splitAt(query, '&')) {
        const std::size_t equals = std::min(parameter.find('='), parameter.size());
        const std::string_view name = parameter.substr(0, equals);
        const std::string_view ai = aiNamed(name);
        if (ai.empty()) continue;
        if (!addDecoded(ai, parameter.substr(std::min(equals + 1, parameter.size())), fields)) return;
    }
}

}  // namespace

bool isDigitalLink(std::string_view text) {
    const std::optional<UriParts> parts = splitUri(text);
    return parts && keyIndex(parts->segments);
}

void readDigitalLink(std::string_view text, Gs1Fields& fields) {
    const std::optional<UriParts> parts = splitUri(text);
    const std::optional<std::size_t> keyAt = parts ? keyIndex(parts->segments) : std::nullopt;
    if (!keyAt) {
        fields.fail("not a Digital Link");
        return;
    }
    if (readPath(parts->segments, *keyAt, fields)) readQuery(parts->query, fields);
}
