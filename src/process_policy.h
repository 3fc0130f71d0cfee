// How the process meets its surroundings, decided in one place and driven
// from main: signals, and the limits it runs under.
#pragma once

// A log reader that goes away (`TirnSerial 0 | tee log`, and tee ends) must
// cost the commentary, never the service: writes to it fail instead of the
// process being killed.
void ignoreBrokenPipes();

// SIGTERM (systemctl stop, restart) and SIGINT (Ctrl-C) end the service the
// way an unplugged scanner does: what was read is published, clients get
// what was queued for them, the broker its last messages. Returns a
// descriptor that becomes readable, and stays so, once either arrives.
int stopOnTermination();
