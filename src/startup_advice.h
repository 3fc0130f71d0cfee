// The last line of a start-up that fails: what to do about it.
#pragma once

#include <string>
#include <sys/types.h>

// A scanner that cannot be read at start-up: plug it in, or name another
// device. `reason` (may be empty) says why it could not be opened, for a
// device that is there. For a name under a by-id directory, the names that
// are there.
void adviseOnUnreadableScanner(const std::string& path, const std::string& reason);

// Another copy serves already (its pid; 0 when it cannot be told).
void adviseOnSecondCopy(pid_t other);

void adviseOnMissingRoot();
