#include "hid_pos_layout.h"

#include "text/charset.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kBarcodePage = 0x8C;
constexpr std::uint32_t kDecodedData = (kBarcodePage << 16) | 0xFE;
constexpr std::uint32_t kDecodeDataContinued = (kBarcodePage << 16) | 0xFF;
constexpr std::uint32_t kSymbologyIdentifier1 = (kBarcodePage << 16) | 0xFB;  // 2 and 3 follow it
constexpr std::uint32_t kByteCount = (0x01u << 16) | 0x3B;  // Generic Desktop

enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag { kInput = 0x8 };
enum GlobalTag { kUsagePage = 0x0, kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9 };
enum LocalTag { kUsage = 0x0, kUsageMinimum = 0x1, kUsageMaximum = 0x2 };
constexpr unsigned kConstantFlag = 0x01;

struct Item {
    unsigned type, tag;
    std::uint32_t value;
    std::size_t dataSize;
};

// One short item at `at`, or nothing when it runs past the end; long items
// (0xFE) are skipped as items of another type.
std::optional<Item> itemAt(const unsigned char* bytes, std::size_t size, std::size_t at) {
    const unsigned char prefix = bytes[at];
    if (prefix == 0xFE) {
        if (at + 2 >= size) return std::nullopt;
        return Item{3, 0, 0, static_cast<std::size_t>(bytes[at + 1]) + 2};
    }
    const std::size_t dataSize = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + dataSize > size) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < dataSize; ++i) value |= static_cast<std::uint32_t>(bytes[at + 1 + i]) << (8 * i);
    return Item{(prefix >> 2) & 3u, static_cast<unsigned>(prefix >> 4), value, dataSize};
}

// The state an Input item is read in: globals and the usages named since
// the last main item.
struct Parser {
    std::uint32_t usagePage = 0, reportSize = 0, reportCount = 0;
    int reportId = 0;
    std::vector<std::uint32_t> usages;
    std::optional<std::uint32_t> usageMinimum;
    std::map<int, std::size_t> bitsSoFar;  // by report id
    std::optional<HidPosLayout> found;
    std::map<int, HidPosLayout> partial;   // by report id: length and flag seen before the data

    std::uint32_t fullUsage(const Item& item) const {
        return item.dataSize == 4 ? item.value : (usagePage << 16) | item.value;
    }
    std::uint32_t usageOf(std::size_t field) const {
        if (usages.empty()) return 0;
        return usages[std::min(field, usages.size() - 1)];
    }

    void input(std::uint32_t flags) {
        std::size_t& bits = bitsSoFar[reportId];
        const std::size_t start = bits;
        bits += static_cast<std::size_t>(reportSize) * reportCount;
        // Fields of no bits hold nothing: a flag there would be read from
        // whatever follows.
        if ((flags & kConstantFlag) != 0 || found || reportSize == 0) return;
        HidPosLayout& layout = partial[reportId];
        layout.reportId = reportId;
        for (std::size_t field = 0; field < reportCount; ++field) {
            const std::uint32_t usage = usageOf(field);
            const std::size_t at = start + field * reportSize;
            if (usage == kDecodeDataContinued && !layout.continuedBit) layout.continuedBit = at;
            if (usage == kByteCount && reportSize == 8 && !layout.lengthBit) layout.lengthBit = at;
            if (usage >= kSymbologyIdentifier1 && usage < kSymbologyIdentifier1 + 3 && reportSize == 8) {
                auto& bit = layout.symbologyBits[usage - kSymbologyIdentifier1];
                if (!bit) bit = at;
            }
        }
        if (usageOf(0) == kDecodedData && reportSize == 8 && reportCount > 0) {
            layout.dataBit = start;
            layout.dataBytes = reportCount;
        }
    }

    // The layout once the report has ended: its data, and a flag or a
    // length after it as well as before.
    void finish() {
        for (auto& [id, layout] : partial)
            if (!found && layout.dataBytes > 0) {
                found = layout;
                found->reportBits = bitsSoFar[id];
            }
    }
};

bool takeItem(Parser& parser, const Item& item) {
    switch (item.type) {
    case kMain:
        if (item.tag == kInput) parser.input(item.value);
        parser.usages.clear();
        parser.usageMinimum.reset();
        return true;
    case kGlobal:
        if (item.tag == kUsagePage) parser.usagePage = item.value;
        else if (item.tag == kReportSize) parser.reportSize = item.value;
        else if (item.tag == kReportCount) parser.reportCount = item.value;
        else if (item.tag == kReportId) {
            if (item.value == 0 || item.value > 255) return false;  // ids are 1 to 255, as Linux has them
            parser.reportId = static_cast<int>(item.value);
        }
        // A descriptor that claims more than a report can carry is not one.
        return parser.reportSize <= 32 && parser.reportCount <= 4096;
    case kLocal:
        if (item.tag == kUsage) parser.usages.push_back(parser.fullUsage(item));
        else if (item.tag == kUsageMinimum) parser.usageMinimum = parser.fullUsage(item);
        else if (item.tag == kUsageMaximum && parser.usageMinimum) {
            for (std::uint32_t usage = *parser.usageMinimum; usage <= parser.fullUsage(item) && parser.usages.size() < 4096;
                 ++usage)
                parser.usages.push_back(usage);
        }
        return true;
    default:
        return true;
    }
}

// Bit `bit` (counted after the report id) of a report, if it has it.
std::optional<bool> bitOf(const unsigned char* data, std::size_t size, std::size_t bit) {
    if (bit / 8 >= size) return std::nullopt;
    return ((data[bit / 8] >> (bit % 8)) & 1) != 0;
}

}  // namespace

std::optional<HidPosLayout> findHidPosLayout(const unsigned char* descriptor, std::size_t size) {
    Parser parser;
    for (std::size_t at = 0; at < size;) {
        const auto item = itemAt(descriptor, size, at);
        if (!item || !takeItem(parser, *item)) return std::nullopt;
        at += 1 + item->dataSize;
    }
    parser.finish();
    return parser.found;
}

std::vector<HidPosScan> HidPosReports::take(const unsigned char* report, std::size_t size) {
    if (layout_.reportId != 0) {
        if (size == 0 || report[0] != layout_.reportId) return {};
        ++report;
        --size;
    }
    if (layout_.dataBit % 8 != 0 || layout_.dataBit / 8 >= size) return {};
    const std::size_t room = std::min(layout_.dataBytes, size - layout_.dataBit / 8);
    std::size_t length = room;
    if (layout_.lengthBit && layout_.lengthBit.value() % 8 == 0 && layout_.lengthBit.value() / 8 < size)
        length = std::min<std::size_t>(report[layout_.lengthBit.value() / 8], room);
    else
        while (length > 0 && report[layout_.dataBit / 8 + length - 1] == 0) --length;  // unused room is zeros
    if (pending_.empty()) pendingSymbology_ = symbologyOf(report, size);
    pending_.append(reinterpret_cast<const char*>(report) + layout_.dataBit / 8, length);
    std::vector<HidPosScan> scans;
    if (pending_.size() >= kMaxScanBytes) {
        const std::size_t cut = cutAt();
        scans.push_back({pending_.substr(0, cut), pendingSymbology_, false});
        pending_.erase(0, cut);
    }
    const bool continued = layout_.continuedBit && bitOf(report, size, *layout_.continuedBit).value_or(false);
    if (!continued && !pending_.empty())
        scans.push_back({std::exchange(pending_, std::string()), std::exchange(pendingSymbology_, std::string())});
    return scans;
}

std::optional<HidPosScan> HidPosReports::endUnderWay() {
    if (pending_.empty()) return std::nullopt;
    return HidPosScan{std::exchange(pending_, std::string()), std::exchange(pendingSymbology_, std::string()), false};
}

std::string HidPosReports::symbologyOf(const unsigned char* report, std::size_t size) const {
    std::string identifier;
    for (const auto& bit : layout_.symbologyBits) {
        if (!bit || *bit % 8 != 0 || *bit / 8 >= size) return "";
        const unsigned char byte = report[*bit / 8];
        if (byte < 0x21 || byte > 0x7E) return "";
        identifier.push_back(static_cast<char>(byte));
    }
    return identifier[0] == ']' ? identifier : "";
}

// Where a scan at the bound ends: after its last whole character, unless
// the bound holds none.
std::size_t HidPosReports::cutAt() const {
    if (charset_.empty()) return kMaxScanBytes;
    const auto whole = static_cast<std::size_t>(completeCharactersLength(
        charset_.c_str(), reinterpret_cast<const unsigned char*>(pending_.data()), kMaxScanBytes));
    return whole > 0 ? whole : kMaxScanBytes;
}
