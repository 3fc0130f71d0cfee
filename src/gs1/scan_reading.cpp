#include "gs1/scan_reading.h"

#include "aim_identifier.h"
#include "bracketed_form.h"
#include "digital_link.h"
#include "element_strings.h"
#include "gs1_fields.h"
#include "retail_codes.h"

#include <ctime>

namespace {

// The one suffix a scanner ends a scan with (CR, LF, CR LF or TAB).
std::string_view withoutSuffix(std::string_view scan) {
    if (scan.size() >= 2 && scan.substr(scan.size() - 2) == "\r\n") return scan.substr(0, scan.size() - 2);
    if (!scan.empty() && (scan.back() == '\r' || scan.back() == '\n' || scan.back() == '\t'))
        return scan.substr(0, scan.size() - 1);
    return scan;
}

// An add-on read with the code follows it with an identifier of its own
// ("]E09506000134352]E112"): the GTIN is the digits before it.
std::string_view withoutAddOn(std::string_view digits) {
    const std::size_t addOn = digits.find("]E");
    if (addOn == std::string_view::npos || addOn + 3 > digits.size()) return digits;
    return digits[addOn + 2] == '1' || digits[addOn + 2] == '2' ? digits.substr(0, addOn) : digits;
}

void readRetailCode(std::string_view text, Gs1Carrier carrier, Gs1Fields& fields) {
    const std::string_view digits = withoutAddOn(text);
    std::optional<std::string> gtin;
    if (carrier == Gs1Carrier::Ean8) gtin = digits.size() == 8 ? gtinOfDigits(digits) : std::nullopt;
    else if (digits.size() == 8) gtin = gtinOfUpcE(digits);
    else if (digits.size() == 12 || digits.size() == 13) gtin = gtinOfDigits(digits);
    if (gtin) fields.add("01", *gtin);
    else fields.fail(carrier == Gs1Carrier::Ean8 ? "not an EAN-8" : "not an EAN-13 or UPC");
}

enum class Gs1Form { None, ElementStrings, RetailCode, DigitalLink, Bracketed, BareGtin };

// The form of GS1 data the text claims or plainly is, if any.
Gs1Form gs1FormOf(std::string_view text, Gs1Carrier carrier, bool identified, bool gs1Scanner) {
    if (carrier == Gs1Carrier::ElementStrings) return Gs1Form::ElementStrings;
    if (carrier != Gs1Carrier::None) return Gs1Form::RetailCode;
    if (isDigitalLink(text)) return Gs1Form::DigitalLink;
    if (startsWithBracketedAi(text)) return Gs1Form::Bracketed;
    if (identified) return Gs1Form::None;
    // A retail code's digits pass before a GS1 scanner's element strings:
    // such a scanner sends EAN-13 without any mark either.
    if (gtinOfDigits(text)) return Gs1Form::BareGtin;
    return gs1Scanner ? Gs1Form::ElementStrings : Gs1Form::None;
}

// Reads the GS1 data the text claims or plainly is; false when it is
// neither (no "gs1" and no error).
bool readGs1(std::string_view text, const std::optional<Symbology>& symbology, bool gs1Scanner,
             Gs1Fields& fields) {
    const Gs1Carrier carrier = symbology ? gs1CarrierOf(*symbology) : Gs1Carrier::None;
    switch (gs1FormOf(text, carrier, symbology.has_value(), gs1Scanner)) {
    case Gs1Form::None: return false;
    case Gs1Form::ElementStrings: readElementStrings(text, fields); break;
    case Gs1Form::RetailCode: readRetailCode(text, carrier, fields); break;
    case Gs1Form::DigitalLink: readDigitalLink(text, fields); break;
    case Gs1Form::Bracketed: readBracketedForm(text, fields); break;
    case Gs1Form::BareGtin: fields.add("01", *gtinOfDigits(text)); break;
    }
    return true;
}

}  // namespace

ScanReading readScanContent(std::string_view scan, bool aimIds, bool gs1Scanner, int currentYear) {
    ScanReading reading;
    std::string_view text = withoutSuffix(scan);
    if (aimIds) {
        reading.symbology = aimIdentifierOf(text);
        if (reading.symbology) text.remove_prefix(reading.symbology->id.size());
    }
    reading.text = std::string(text);
    Gs1Fields fields(currentYear);
    if (readGs1(text, reading.symbology, gs1Scanner, fields)) {
        reading.gs1 = fields.takeFields();
        reading.gs1Error = fields.error();
    }
    return reading;
}

int currentYearUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return utc.tm_year + 1900;
}
