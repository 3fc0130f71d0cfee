// The replay storm: many clients asking for the whole history at once (half
// of the WebSocket ones never reading it), and how late live scans reach
// plain subscribers meanwhile, with the service's memory; beside quiet runs
// alike, alternately.
#pragma once

#include <string>
#include <vector>

struct StormOptions {
    int rounds = 3;
    int clients = 200;  // WebSocket clients with since=0, every other one never reading
    int streams = 50;   // event streams with since=0, reading
    int plain = 10;     // subscribers without since=, whose live scans are timed
    double runSeconds = 4;
};

// Prints the figures as JSON; 0 when every run had its live scans.
int runReplayStorm(const StormOptions& options, const std::vector<std::string>& command);
