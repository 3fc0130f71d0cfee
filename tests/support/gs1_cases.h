// The shared table of scans and what a numbered client learns from each
// (tests/data/gs1_cases.tsv), as the gs1 unit tests and the tests of the
// real binary read it.
#pragma once

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

struct Gs1Case {
    std::string scanner;  // "-", "aim", "gs1" or "aim,gs1"
    std::string scan, id, text, gs1;
    std::string note;     // the comment above it
};

inline std::string unescapedCase(std::string text) {
    static const std::pair<const char*, const char*> escapes[] = {
        {"<GS>", "\x1d"}, {"<CR>", "\r"}, {"<LF>", "\n"}, {"<TAB>", "\t"}};
    for (const auto& [token, byte] : escapes)
        for (std::size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, strlen(token), byte);
    return text;
}

// Every case of the table at `path`; a line that is no case of five columns
// gives a case whose note says so, which no reading matches.
inline std::vector<Gs1Case> readGs1Cases(const std::string& path) {
    std::vector<Gs1Case> cases;
    std::ifstream file(path);
    std::string note;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("# ", 0) == 0) note = line.substr(2);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> column;
        std::istringstream stream(line);
        for (std::string part; std::getline(stream, part, '\t');) column.push_back(part);
        if (column.size() != 5) column.assign(5, "malformed line: " + line);
        cases.push_back({column[0], unescapedCase(column[1]), column[2], unescapedCase(column[3]), column[4], note});
    }
    return cases;
}
