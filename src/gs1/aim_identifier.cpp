#include "aim_identifier.h"

#include <string>

namespace {

struct KnownIdentifier {
    const char* id;
    const char* name;
    Gs1Carrier carrier;
};

// The identifiers scanners at a till or a warehouse send most, by name.
const KnownIdentifier kKnown[] = {
    {"]E0", "EAN-13", Gs1Carrier::Ean13OrUpc},
    {"]E1", "EAN/UPC 2-digit add-on", Gs1Carrier::None},
    {"]E2", "EAN/UPC 5-digit add-on", Gs1Carrier::None},
    {"]E3", "EAN/UPC with add-on", Gs1Carrier::None},
    {"]E4", "EAN-8", Gs1Carrier::Ean8},
    {"]C0", "Code 128", Gs1Carrier::None},
    {"]C1", "GS1-128", Gs1Carrier::ElementStrings},
    {"]C4", "ISBT 128", Gs1Carrier::None},
    {"]e0", "GS1 DataBar", Gs1Carrier::ElementStrings},
    {"]d1", "Data Matrix", Gs1Carrier::None},
    {"]d2", "GS1 DataMatrix", Gs1Carrier::ElementStrings},
    {"]Q1", "QR Code", Gs1Carrier::None},
    {"]Q3", "GS1 QR Code", Gs1Carrier::ElementStrings},
    {"]J0", "DotCode", Gs1Carrier::None},
    {"]J1", "GS1 DotCode", Gs1Carrier::ElementStrings},
    {"]z0", "Aztec", Gs1Carrier::None},
    {"]L2", "PDF417", Gs1Carrier::None},
    {"]A0", "Code 39", Gs1Carrier::None},
    {"]I0", "ITF", Gs1Carrier::None},
    {"]I1", "ITF", Gs1Carrier::None},
    {"]F0", "Codabar", Gs1Carrier::None},
    {"]G0", "Code 93", Gs1Carrier::None},
};

struct Family {
    char codeCharacter;
    const char* name;
};

// Every code character ISO/IEC 15424 assigns that scanners commonly send.
const Family kFamilies[] = {
    {'A', "Code 39"},     {'B', "Telepen"},      {'C', "Code 128"},   {'D', "Code One"},
    {'E', "EAN/UPC"},     {'F', "Codabar"},      {'G', "Code 93"},    {'H', "Code 11"},
    {'I', "ITF"},         {'K', "Code 16K"},     {'L', "PDF417"},     {'M', "MSI"},
    {'O', "Codablock"},   {'P', "Plessey"},      {'Q', "QR Code"},    {'R', "Straight 2 of 5"},
    {'S', "Straight 2 of 5"}, {'T', "Code 49"}, {'U', "MaxiCode"},   {'X', "other barcode"},
    {'d', "Data Matrix"}, {'e', "GS1 DataBar"},  {'h', "Han Xin"},    {'J', "DotCode"},
    {'z', "Aztec"},
};

const KnownIdentifier* known(std::string_view id) {
    for (const KnownIdentifier& identifier : kKnown)
        if (id == identifier.id) return &identifier;
    return nullptr;
}

const char* familyName(char codeCharacter) {
    for (const Family& family : kFamilies)
        if (family.codeCharacter == codeCharacter) return family.name;
    return "unknown symbology";
}

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigitOrLetter(char c) { return isLetter(c) || (c >= '0' && c <= '9'); }

}  // namespace

std::optional<Symbology> aimIdentifierOf(std::string_view scan) {
    if (scan.size() < 3 || scan[0] != ']' || !isLetter(scan[1]) || !isDigitOrLetter(scan[2])) return std::nullopt;
    const std::string_view id = scan.substr(0, 3);
    const KnownIdentifier* identifier = known(id);
    return Symbology{std::string(id), identifier ? identifier->name : familyName(scan[1])};
}

Gs1Carrier gs1CarrierOf(const Symbology& symbology) {
    const KnownIdentifier* identifier = known(symbology.id);
    return identifier ? identifier->carrier : Gs1Carrier::None;
}
