// What the kernel alone costs to fan one frame out to many loopback sockets:
// the floor under any bridge's fan-out.
#pragma once

#include <string>
#include <vector>

// Connects `sockets` loopback TCP pairs and times, in each of some rounds,
// one blocking send of `frame` to every one of them in a loop. Milliseconds
// per round.
std::vector<double> kernelFanOutFloor(int sockets, const std::string& frame);
