// The certificate and key that make the port speak TLS only: wss:// for
// subscribers and https:// for the page, /status and /metrics.
#pragma once

#include <string>

struct TlsFiles {
    std::string certificate;  // PEM; the chain may follow the certificate
    std::string key;          // PEM
    bool tls13Only = false;   // TLS 1.2 is served too unless set
    bool enabled() const { return !certificate.empty(); }
};

// Whether the pair can serve: readable, and a key that matches the
// certificate. Prints one line on standard error naming the problem, or a
// warning for a key that other users can read (which still serves).
bool tlsFilesUsable(const TlsFiles& files);

// Blocks SIGHUP in this thread and the threads it starts from now on, so
// that only the server thread takes it (to reload the pair).
void reserveHangupForReload();
