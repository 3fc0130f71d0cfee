// The last line of a start-up that fails: what to do about it (for a
// scanner that cannot be read, see scanners/scanner_advice.h).
#pragma once

#include <string>
#include <sys/types.h>

// Another copy serves already (its pid; 0 when it cannot be told).
void adviseOnSecondCopy(pid_t other);

void adviseOnMissingRoot();
