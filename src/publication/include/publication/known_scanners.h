// The box's scanners as clients ask for their scans (?scanner=NAME): by
// what their scans carry now, their name or without one their path, and
// by the path, which scans kept from before a scanner had a name carry.
#pragma once

#include <string>
#include <vector>

struct KnownScanner {
    std::string label;
    std::string path;
};

using KnownScanners = std::vector<KnownScanner>;
