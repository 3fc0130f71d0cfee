// What the process checks about itself before it serves.
#pragma once

#include <sys/types.h>

// True when another copy of TirnSerial is already running. It counts the
// process list's lines that name TirnSerial; this process is one of them.
// When the count cannot be taken at all, the answer is false.
bool IsProceRunning();

// The process id of another process named TirnSerial, as the count above
// sees them; 0 when there is none.
pid_t otherCopyPid();

// The conversion mode given on the command line: strtol in base 10,
// truncated to 32 bits, so text that is not a number counts as 0.
int parseConversionMode(const char* argument);
