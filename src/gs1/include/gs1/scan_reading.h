// The gs1 component: what a scan says besides its text, for numbered
// clients: the symbology its AIM identifier names, and the GS1 data it
// carries (application identifiers to values), checked as the GS1 General
// Specifications say. It uses no other component: it reads the scan's text
// as relayed (UTF-8, GS as 0x1D) and never changes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// An AIM symbology identifier (ISO/IEC 15424) and what it names.
struct Symbology {
    std::string id;    // "]E0": the flag, the code character, the modifier
    std::string name;  // "EAN-13"; the family's name for modifiers without one of their own
};

struct ScanReading {
    // When the scanner sends AIM identifiers and the scan starts with one.
    std::optional<Symbology> symbology;
    // The scan without its identifier and without the scanner's suffix.
    std::string text;
    // Application identifiers to values, in scan order, when the scan is
    // valid GS1 data; empty otherwise.
    std::vector<std::pair<std::string, std::string>> gs1;
    // A short reason when the scan claims to be GS1 data and is not valid
    // (gs1 is then empty); empty otherwise.
    std::string gs1Error;
};

// Reads one scan. aimIds: the scanner is set to send AIM identifiers.
// gs1Scanner: the scanner sends GS1 element strings (GS for FNC1) without
// identifiers. currentYear (e.g. 2026) places two-digit years: GS1 puts them
// within 49 years before it and 50 after it.
ScanReading readScanContent(std::string_view scan, bool aimIds, bool gs1Scanner, int currentYear);

// The current year (UTC), for readScanContent.
int currentYearUtc();
