#include "cross_origin.h"

#include "server/origin_policy.h"

namespace server {

HeaderFields crossOriginFields(std::string_view origin) {
    HeaderFields fields{{"Vary", "Origin"}};
    const auto page = normalizedOrigin(origin);
    if (origin.empty() || !page) return fields;
    fields.emplace_back("Access-Control-Allow-Origin", *page);
    // What a poller of /scans learns beyond the array: the box's last
    // number, and scans it can no longer have.
    fields.emplace_back("Access-Control-Expose-Headers", "X-TirnSerial-Last, X-TirnSerial-Missed");
    return fields;
}

HeaderFields preflightFields(std::string_view origin) {
    HeaderFields fields = crossOriginFields(origin);
    fields.emplace_back("Access-Control-Allow-Methods", "GET, HEAD");
    fields.emplace_back("Access-Control-Allow-Headers", "Authorization, Last-Event-ID");
    fields.emplace_back("Access-Control-Max-Age", "600");
    return fields;
}

std::string headLines(const HeaderFields& fields) {
    std::string lines;
    for (const auto& [name, value] : fields) lines += name + ": " + value + "\r\n";
    return lines;
}

}  // namespace server
