// The secrets component: files that hold a secret (the access token, the
// broker's credentials). It uses the console.
//
// The access token that subscribing and reading the figures take, read once
// at start-up from the first line of a file only root (or the service's
// user) should read.
#pragma once

#include <optional>
#include <string>

// The token, or nothing after one line on standard error naming the
// problem: a file that is missing, unreadable or whose first line is empty.
// A file that other users can read is only warned about.
std::optional<std::string> readTokenFile(const std::string& path);

// One line on standard error when users other than the owner and group may
// read a file that holds a secret (`what`: "token file", say).
void warnIfOthersCanRead(const std::string& path, const char* what);
