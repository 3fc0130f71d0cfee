#include "build_paths.h"

const char kServiceBinary[] = TIRN_SERIAL_BINARY;
const char kMakeCertScript[] = TIRN_MAKE_CERT_SCRIPT;
const char kSandboxScript[] = TIRN_SANDBOX_SCRIPT;
const char kSourceDir[] = TIRN_SOURCE_DIR;
const char kEmulator[] = TIRN_EMULATOR;
