// The wait of a scanner's reader: for its device, for the service's stop,
// or for a quiet moment (the end of a scan, or a heartbeat).
#pragma once

#include <chrono>

enum class DeviceWait {
    Readable,  // something to read, or the device's end (the read tells)
    Quiet,     // nothing came within the timeout
    Stop,      // the service is to stop
};

// `stop` is readable once the service is to stop; -1: never.
DeviceWait waitForDevice(int fd, int stop, std::chrono::milliseconds timeout);
