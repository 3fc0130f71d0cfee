// The last line of a start-up that finds a scanner it cannot read: what to
// do about it.
#pragma once

#include <string>

// Plug it in, or name another device. `reason` (may be empty) says why it
// could not be opened, for a device that is there. For a name under a by-id
// directory, the names that are there.
void adviseOnUnreadableScanner(const std::string& path, const std::string& reason);
