// Which scanners' scans a client asked for: every one, or those its
// scanner= parameters name (a page for one till).
#pragma once

#include "publication/known_scanners.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ScannerFilter {
public:
    // More than this many scanner= are refused: a filter is as small as
    // the box's scanners, whatever a client sends.
    static constexpr std::size_t kMaxNames = 16;

    // The filter of the query's scanner= parameters (none: every scanner).
    // Nothing, and `problem` says why with the names the box has, for a
    // name it has not or for too many.
    static std::optional<ScannerFilter> of(std::string_view query, const KnownScanners& known, std::string& problem);

    bool everyScanner() const { return scanners_.empty(); }
    // Whether a scan that carries `scanner` (as it was when kept) is one of
    // those asked for.
    bool passes(const std::string& scanner) const;

private:
    std::vector<std::string> scanners_;  // labels and paths of those asked for
};
