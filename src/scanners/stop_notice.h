// The console line that says the service was asked to end. Each scanner's
// reader sees the stop, but the service says it once, whichever reader is
// first.
#pragma once

void sayStopping();
