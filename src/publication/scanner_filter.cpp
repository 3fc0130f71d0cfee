#include "scanner_filter.h"

#include "server/server_content.h"

#include <algorithm>

namespace {

const KnownScanner* scannerCalled(const std::string& name, const KnownScanners& known) {
    for (const KnownScanner& scanner : known)
        if (scanner.label == name || scanner.path == name) return &scanner;
    return nullptr;
}

// What the client sent, short and without control characters, to say it back.
std::string shown(std::string name) {
    if (name.size() > 64) name = name.substr(0, 64) + "...";
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return name;
}

std::string namesOf(const KnownScanners& known) {
    std::string names;
    for (const KnownScanner& scanner : known) names += (names.empty() ? "" : ", ") + scanner.label;
    return names;
}

}  // namespace

std::optional<ScannerFilter> ScannerFilter::of(std::string_view query, const KnownScanners& known,
                                               std::string& problem) {
    const std::vector<std::string> asked = queryParameters(query, "scanner", kMaxNames);
    if (asked.size() > kMaxNames) {
        problem = "at most " + std::to_string(kMaxNames) + " scanner= in one request";
        return std::nullopt;
    }
    ScannerFilter filter;
    for (const std::string& given : asked) {
        const std::string name = percentDecoded(given);
        const KnownScanner* scanner = scannerCalled(name, known);
        if (scanner == nullptr) {
            // Names only: a client that cannot name a scanner learns them
            // here, as /status would tell it.
            problem = "no scanner is called '" + shown(name) +
                      "'; this box has " + namesOf(known);
            return std::nullopt;
        }
        for (const std::string* word : {&scanner->label, &scanner->path})
            if (std::find(filter.scanners_.begin(), filter.scanners_.end(), *word) == filter.scanners_.end())
                filter.scanners_.push_back(*word);
    }
    return filter;
}

bool ScannerFilter::passes(const std::string& scanner) const {
    return everyScanner() || std::find(scanners_.begin(), scanners_.end(), scanner) != scanners_.end();
}
