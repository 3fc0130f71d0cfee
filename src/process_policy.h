// How the process meets its surroundings, decided in one place and driven
// from main: signals, and the limits it runs under.
#pragma once

// A log reader that goes away (`TirnSerial 0 | tee log`, and tee ends) must
// cost the commentary, never the service: writes to it fail instead of the
// process being killed.
void ignoreBrokenPipes();
