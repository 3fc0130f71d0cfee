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
