// AIM symbology identifiers (ISO/IEC 15424): "]" + code character +
// modifier before a scan's data, when the scanner is set to send them.
#pragma once

#include "gs1/scan_reading.h"

#include <optional>
#include <string_view>

// The identifier at the start of the scan, with its name: a known
// identifier's own, else its code character's family, else "unknown".
std::optional<Symbology> aimIdentifierOf(std::string_view scan);

// What the symbology says of GS1 data in it.
enum class Gs1Carrier {
    None,            // nothing: the data may still plainly be GS1 (a Digital Link, a bracketed form)
    ElementStrings,  // FNC1 in first position: GS1-128, GS1 DataBar, GS1 DataMatrix, GS1 QR, GS1 DotCode
    Ean13OrUpc,      // EAN-13, UPC-A (or UPC-E) digits
    Ean8,
};
Gs1Carrier gs1CarrierOf(const Symbology& symbology);
