// GS1 data as people read it under a barcode, which a scanner may be set
// to send: "(01)09506000134352(17)261231(10)ABC123".
#pragma once

#include "gs1_fields.h"

#include <string_view>

// Whether the text starts with an AI in parentheses, as that form does.
bool startsWithBracketedAi(std::string_view text);

void readBracketedForm(std::string_view text, Gs1Fields& fields);
