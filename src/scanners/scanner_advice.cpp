#include "scanners/scanner_advice.h"

#include "console/console_lines.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace {

// The names a by-id directory (udev's stable names) holds, sorted.
std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

// " (DIR lists a, b)" for a path in a by-id directory, else "".
std::string byIdListing(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    const std::string dir = path.substr(0, slash + 1);
    if (dir.size() < 7 || dir.compare(dir.size() - 7, 7, "/by-id/") != 0) return "";
    const std::vector<std::string> names = namesIn(dir);
    if (names.empty()) return " (" + dir + " lists no device: none of that kind is plugged in)";
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
    return " (" + dir + " lists " + listed + ")";
}

}  // namespace

void adviseOnUnreadableScanner(const std::string& path, const std::string& reason) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        consoleErr(LineKind::Error,
                   "TirnSerial: no scanner at %s: plug the scanner in, or name its device with --device%s\n",
                   path.c_str(), byIdListing(path).c_str());
        return;
    }
    consoleErr(LineKind::Error,
               "TirnSerial: cannot read the scanner at %s%s%s%s: name the scanner's device with --device\n",
               path.c_str(), reason.empty() ? "" : " (", reason.c_str(), reason.empty() ? "" : ")");
}

