// The private key of a TLS certificate, read from its PEM file without ever
// asking for a pass phrase: the service starts unattended, and OpenSSL's own
// prompt would wait on a terminal for ever (or, without one, print itself
// and then fail as if the file held no key).
#pragma once

#include <string>

struct ssl_ctx_st;

enum class KeyFile {
    Used,              // the key now serves beside the context's certificate
    NoKey,             // no private key in the file, or one OpenSSL cannot read
    Encrypted,         // a key behind a pass phrase
    NotTheCertificates,  // a key, but not the one the certificate was issued for
    Refused,           // the context would not take it
};

// Reads the first private key in the PEM file `path` and puts it in
// `context`, whose certificate must already be there. Anything but Used
// leaves OpenSSL's reason in `reason` (or a few words where it gives none).
KeyFile useKeyFile(ssl_ctx_st* context, const std::string& path, std::string& reason);

// What to tell of a key file that holds a key the context did not take
// (Encrypted, NotTheCertificates, Refused): `which` names whose key it is
// ("TLS", "MQTT"). A file with no key is told in each caller's own words.
std::string keyFileProblem(KeyFile result, const char* which, const std::string& path,
                           const std::string& certificate, const std::string& reason);
