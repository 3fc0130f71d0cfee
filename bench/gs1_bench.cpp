// The cost of reading a scan's symbology and GS1 data (readScanContent), per
// scan, for a GS1 DataMatrix of 60 characters with its ]d2 identifier:
// read as GS1, beside the same scan from a scanner without the aim and gs1
// settings, beside only copying the scan's text (what any message costs).
// Rounds of many scans; the median round is the figure, min and max show
// how much the machine disturbed it. Writes JSON to standard output.
// Usage: tirn-gs1-bench [--rounds N] [--batch N]
#include "gs1/scan_reading.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// ]d2, GTIN, expiry, a lot ended by GS, a serial last: 60 characters, and
// the scanner's CR.
const std::string kScan = "]d2" "0109506000134352" "17261231" "10ABC123XYZ" "\x1d" "21SN12345678901234567" "\r";

volatile std::size_t sink;

struct Series {
    const char* name;
    std::function<std::size_t()> readOnce;
    std::vector<double> nsPerScan;
};

double timeBatch(const Series& series, int batch) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t total = 0;
    for (int i = 0; i < batch; ++i) total += series.readOnce();
    const auto end = std::chrono::steady_clock::now();
    sink = total;
    return std::chrono::duration<double, std::nano>(end - start).count() / batch;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string first;
    file >> first;
    return first;
}

void printSeries(Series& series, bool last) {
    std::vector<double>& times = series.nsPerScan;
    std::sort(times.begin(), times.end());
    printf("    {\"name\": \"%s\", \"ns_per_scan\": {\"median\": %.1f, \"min\": %.1f, \"max\": %.1f}}%s\n", series.name,
           times[times.size() / 2], times.front(), times.back(), last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 31, batch = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--batch")) batch = atoi(argv[i + 1]);
    }
    const int year = currentYearUtc();
    const ScanReading check = readScanContent(kScan, true, false, year);
    if (check.gs1.size() != 4 || !check.gs1Error.empty()) {
        fprintf(stderr, "tirn-gs1-bench: the sample scan does not read as GS1: %s\n", check.gs1Error.c_str());
        return 1;
    }
    std::vector<Series> series = {
        {"GS1 DataMatrix read (aim)", [&] { return readScanContent(kScan, true, false, year).gs1.size(); }, {}},
        {"the same scan, scanner without aim or gs1",
         [&] { return readScanContent(kScan, false, false, year).text.size(); }, {}},
        {"text copied only (reading off)", [] { return std::string(kScan, 0, kScan.size() - 1).size(); }, {}},
    };
    const std::string loadBefore = loadAverage();
    // Alternately, so that what else the machine does falls on each alike.
    for (int round = 0; round < rounds; ++round)
        for (Series& one : series) one.nsPerScan.push_back(timeBatch(one, batch));
    printf("{\n  \"label\": \"GS1 reading\",\n  \"scan_characters\": %zu,\n  \"rounds\": %d,\n  \"batch\": %d,\n",
           kScan.size() - 1, rounds, batch);
    printf("  \"machine\": {\"cores\": %u, \"load_before\": %s, \"load_after\": %s, \"shared\": true},\n",
           std::thread::hardware_concurrency(), loadBefore.c_str(), loadAverage().c_str());
    printf("  \"target_ns\": 5000,\n  \"series\": [\n");
    for (std::size_t i = 0; i < series.size(); ++i) printSeries(series[i], i + 1 == series.size());
    printf("  ]\n}\n");
    return 0;
}
