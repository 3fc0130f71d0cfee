// The service component: the command line, start-up, process policy, the
// figures, systemd and, here, the relay loop, which joins the scanners to
// the sinks; main drives them. It may use every other component.
//
// The relay: each scan from the source becomes one scan message, handed to
// every sink in turn (the WebSocket subscribers, the MQTT outbox).
#pragma once

#include <functional>
#include <string>
#include <vector>

class ScanSource;
class ServiceStats;

// Takes one scan message; must not block.
using ScanSink = std::function<void(const std::string& message)>;

// Relays scans until the source has ended. Each scan relayed counts as the
// loop alive (ServiceStats::relayAlive); while it waits, the source says so.
void runRelayLoop(ScanSource& source, const std::vector<ScanSink>& sinks, ServiceStats& stats);
