// The bridge under measurement (TirnSerial or the baseline), seen from
// outside: started as a child, watched through /proc.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Lets this process and the bridge it starts hold tens of thousands of
// connections, and survive peers that go away mid-write.
void prepareForManyConnections();
// Starts the command with standard input on /dev/null, and standard output
// and error on one pipe that a thread of this process reads, as a service
// manager's journal would.
pid_t startBridge(const std::vector<std::string>& command);
// Waits until something accepts connections on 127.0.0.1:PORT.
bool waitForListener(int port = 9010);
// CPU time of all the process's threads, in seconds.
double cpuSeconds(pid_t pid);
long residentKb(pid_t pid);
int openDescriptors(pid_t pid);
// A number member of the bridge's /status on 127.0.0.1:9010, or -1.
long statusFigure(const char* name);
