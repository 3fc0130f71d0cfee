// The format of an application identifier's value, read from the
// notation of application_identifiers.def ("N13,csum [X..17]").
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

enum class CharacterSet {
    Digits,       // N
    Gs1Set82,     // X: GS1's character set 82, what a URI can carry unescaped and more
};

// The content check a component gets besides its characters and length.
enum class ComponentCheck { None, CheckDigit, Date, DateDayMayBeZero, TimeOfDay, Zero, PieceOfTotal };

struct FormatComponent {
    CharacterSet characters = CharacterSet::Digits;
    std::size_t minLength = 0;
    std::size_t maxLength = 0;
    bool optional = false;  // only the last component may be left out
    ComponentCheck check = ComponentCheck::None;
};

struct AiFormat {
    std::array<FormatComponent, 3> components{};
    std::size_t count = 0;

    // Whether the value always has the same length, and which.
    bool fixedLength() const;
    std::size_t maxLength() const;
};

// The format the notation describes; throws std::invalid_argument for a
// notation this reader does not know (a mistake in the table).
AiFormat parseAiFormat(std::string_view notation);
