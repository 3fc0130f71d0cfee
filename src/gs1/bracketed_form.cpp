#include "bracketed_form.h"

#include <string>

namespace {

// The length of "(" + 2 to 4 digits + ")" at the start of text, or 0.
std::size_t bracketedAiLength(std::string_view text) {
    if (text.empty() || text[0] != '(') return 0;
    std::size_t digits = 0;
    while (1 + digits < text.size() && digits < 4 && text[1 + digits] >= '0' && text[1 + digits] <= '9') ++digits;
    const bool closed = 1 + digits < text.size() && text[1 + digits] == ')';
    return digits >= 2 && closed ? digits + 2 : 0;
}

// Where the value that starts at `from` ends: at the next AI in
// parentheses, or at the end.
std::size_t valueEnd(std::string_view text, std::size_t from) {
    for (std::size_t at = text.find('(', from); at != std::string_view::npos; at = text.find('(', at + 1))
        if (bracketedAiLength(text.substr(at))) return at;
    return text.size();
}

}  // namespace

bool startsWithBracketedAi(std::string_view text) { return bracketedAiLength(text) > 0; }

void readBracketedForm(std::string_view text, Gs1Fields& fields) {
    while (!text.empty()) {
        const std::size_t aiLength = bracketedAiLength(text);
        if (aiLength == 0) {
            fields.fail("no AI where one should start");
            return;
        }
        const std::size_t end = valueEnd(text, aiLength);
        if (!fields.add(text.substr(1, aiLength - 2), text.substr(aiLength, end - aiLength))) return;
        text.remove_prefix(end);
    }
}
