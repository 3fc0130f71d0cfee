// Where the build put what the tests run. Defined in one file of its own, so
// that no other file's compilation depends on the checkout's path (a clone
// in another folder then reuses every other file from the compiler cache).
#pragma once

extern const char kServiceBinary[];   // the TirnSerial the tests start
extern const char kMakeCertScript[];  // scripts/make-cert
extern const char kSandboxScript[];   // scripts/sandbox
extern const char kSourceDir[];       // the checkout
// What runs the programs of a cross build here (qemu-user); empty for a
// native build.
extern const char kEmulator[];
