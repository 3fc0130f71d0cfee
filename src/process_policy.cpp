#include "process_policy.h"

#include <csignal>

void ignoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }
