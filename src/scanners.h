// The service's scanners as one source of scans: the serial scanner that
// start-up opened, and the others, opened here.
#pragma once

#include "options.h"
#include "scan_reader.h"
#include "scan_source.h"
#include "serial_scan_source.h"

#include <memory>

class ServiceStats;

// A serial scanner alone is read as it always was; other scanners, or
// several, are read together (and said to come and go).
// Nothing, with a line saying why, when a scanner cannot be opened.
std::unique_ptr<ScanSource> openScanners(const Options& options, RelayBuffers& buffers, const ScanFraming& framing,
                                         ServiceStats& stats);
