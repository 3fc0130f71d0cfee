// The WebSocket server running in a fuzzer's process, started once, with
// callbacks that record what reaches the subscriber list. Needs the sandbox
// (port 9010).
#pragma once

#include "publication/websocketcontrol.h"

#include <cstddef>
#include <string>
#include <vector>

namespace fuzz {

void startServer(ServerSettings settings = {});
// What the message callback has been given since the last call.
std::vector<std::string> takeMessages();
// How often the close callback has run.
int closes();
// Waits until the close callback has run `count` times in all.
bool waitForCloses(int count);
int subscriberEntries();
// Waits until nobody is subscribed; false if somebody stays.
bool waitForNoSubscribers();

void require(bool condition, const char* what);

}  // namespace fuzz
