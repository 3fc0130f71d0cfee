// The service component: the command line, start-up, process policy, the
// figures, systemd and, here, the relay loop, which joins the scanners to
// the sinks; main drives them. It may use every other component.
//
// The relay: each scan from the source is numbered by the history, with
// its messages, and handed to every sink in turn (the WebSocket
// subscribers, which keep it in the history, the MQTT outbox).
#pragma once

#include "history/scan_history.h"
#include "scanners/scanner_device.h"

#include <functional>
#include <string>
#include <vector>

class ScanSource;
class ServiceStats;

// Takes one numbered scan; must not block.
using ScanSink = std::function<void(const NumberedScan& scan)>;

// Relays scans until the source has ended; `devices` names the scanners
// by the index a scan carries. Each scan relayed counts as the loop alive
// (ServiceStats::relayAlive); while it waits, the source says so.
void runRelayLoop(ScanSource& source, ScanHistory& history, const std::vector<ScannerDevice>& devices,
                  const std::vector<ScanSink>& sinks, ServiceStats& stats);
