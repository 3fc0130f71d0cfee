// What the state directory needs on disk: the history's store, the MQTT
// outbox's at its bound (a broker away long enough to fill it), and their
// write-ahead logs, measured from real runs (bench/results/state-dir*.json);
// README and the man page give the same figures.
#pragma once

#include <cstddef>
#include <string>

// One warning line when DIR's file system has less room than `--history
// depth` and, with MQTT, `--mqtt-queue queueLimit` (0 without) need, what
// the stores already take there counted as room.
void warnIfStateDirectoryTooSmall(const std::string& dir, std::size_t depth, std::size_t queueLimit);
