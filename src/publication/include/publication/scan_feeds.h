// What the server serves of the scans beyond the live ones: whether a
// client's since= may open it, and GET /scans, the history after a number
// as a JSON array of numbered messages; with scanner=, for each the
// scans of those scanners only.
#pragma once

#include "history/scan_history.h"
#include "publication/known_scanners.h"
#include "server/server_content.h"

#include <cstddef>
#include <utility>

class ScanFeeds : public ServerContent {
public:
    // At most this many scans a request to /scans, and beyond the first no
    // more than these bytes of them: a client that reads slowly or not at
    // all holds its answer, and as many such clients may connect as the
    // server takes (a thousand answers of a thousand long scans were GBs).
    static constexpr std::size_t kMaxScansPerRequest = 1000;
    static constexpr std::size_t kMaxBytesPerRequest = 256 * 1024;

    ScanFeeds(const ScanHistory& history, KnownScanners scanners)
        : history_(history), scanners_(std::move(scanners)) {}

    std::string refusal(std::string_view query, std::string_view lastEventId) const override;
    bool serves(std::string_view path) const override { return path == "/scans"; }
    ServedDocument document(std::string_view path, std::string_view query) const override;

private:
    const ScanHistory& history_;
    const KnownScanners scanners_;
};
