// How the process meets its surroundings, decided in one place and driven
// from main: signals, and the limits it runs under.
#pragma once

#include <cstddef>

// A log reader that goes away (`TirnSerial 0 | tee log`, and tee ends) must
// cost the commentary, never the service: writes to it fail instead of the
// process being killed.
void ignoreBrokenPipes();

// SIGTERM (systemctl stop, restart) and SIGINT (Ctrl-C) end the service the
// way an unplugged scanner does: what was read is published, clients get
// what was queued for them, the broker its last messages. Returns a
// descriptor that becomes readable, and stays so, once either arrives.
int stopOnTermination();

// Blocks SIGHUP in this thread and the threads it starts from now on, so
// that only the server thread takes it (to reload the certificate).
void reserveHangupForTheServer();

// How many clients may be connected at once: as many as the descriptors
// allow, less a reserve for the scanner's port, the conversions, the broker
// and the server itself. The soft limit is raised to the hard one first:
// under a service manager it is often far lower, and nothing here is
// limited by descriptor numbers.
std::size_t clientCapacity();
