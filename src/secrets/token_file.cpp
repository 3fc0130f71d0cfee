#include "secrets/token_file.h"

#include "console/console_lines.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

std::optional<std::string> readTokenFile(const std::string& path) {
    std::ifstream file(path);
    struct stat status{};
    if (!file || stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
        consoleErr(LineKind::Error, "TirnSerial: cannot read the token file %s: %s\n", path.c_str(),
                   strerror(errno != 0 ? errno : EISDIR));
        return std::nullopt;
    }
    std::string token;
    std::getline(file, token);
    if (!token.empty() && token.back() == '\r') token.pop_back();
    if (token.empty()) {
        consoleErr(LineKind::Error, "TirnSerial: the token file %s has no token on its first line\n", path.c_str());
        return std::nullopt;
    }
    warnIfOthersCanRead(path, "token file");
    return token;
}

void warnIfOthersCanRead(const std::string& path, const char* what) {
    struct stat status{};
    if (stat(path.c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0)
        consoleErr(LineKind::Warning, "TirnSerial: warning: other users can read the %s %s (chmod o-r it)\n", what,
                   path.c_str());
}
