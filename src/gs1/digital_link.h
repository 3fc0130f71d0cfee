// GS1 Digital Link URIs, as a QR code or DataMatrix at the till carries
// them: https://{any domain}[/{path of its own}]/01/{GTIN}[/22|10|21/{value}...][?{AI}={value}&...].
#pragma once

#include "gs1_fields.h"

#include <string_view>

// Whether the text is an http or https URI whose path holds a primary key
// (01/gtin with a GTIN's digits, 00 with an SSCC's, 414 with a GLN's)
// followed only by AI and value pairs: the URI then claims to be GS1 data.
bool isDigitalLink(std::string_view text);

// The key and qualifiers of the path, then the AIs of the query (other
// query parameters, such as linkType, are the resolver's).
void readDigitalLink(std::string_view text, Gs1Fields& fields);
