#include "tls_context.h"

#include "console/console_lines.h"
#include "secrets/private_key_file.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace ssl = boost::asio::ssl;

namespace {

// OpenSSL's reason for the last failure, or `fallback` if it gave none.
std::string libraryReason(const char* fallback) {
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (error == 0) return fallback;
    const char* reason = ERR_reason_error_string(error);
    return reason ? reason : fallback;
}

// Opening the file ourselves names the usual problems (missing, not
// readable) the way the system says them.
bool readable(const std::string& path, const char* what, std::string& problem) {
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) {
        problem = std::string("cannot read the TLS ") + what + " " + path + ": " + strerror(errno);
        return false;
    }
    fclose(file);
    return true;
}

// Mozilla's "intermediate" server profile (version 5.7): TLS 1.2 with
// ECDHE key exchange and AEAD ciphers only, TLS 1.3 with its own defaults,
// and the client's order of preference (every suite offered is strong).
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:prime256v1:secp384r1";

bool secureDefaults(SSL_CTX* native, bool tls13Only, std::string& problem) {
    // No resumption: no session cache (it would hold every client's
    // session), and no tickets, which would need keys that rotate. A
    // subscriber connects once and stays.
    const bool set = SSL_CTX_set_min_proto_version(native, tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION) == 1 &&
                     SSL_CTX_set_cipher_list(native, kTls12Ciphers) == 1 &&
                     SSL_CTX_set1_groups_list(native, kGroups) == 1 && SSL_CTX_set_num_tickets(native, 0) == 1;
    if (!set) {
        problem = "the TLS settings cannot be applied: " + libraryReason("unknown reason");
        return false;
    }
    SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
    SSL_CTX_clear_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An idle subscriber holds no read or write buffers: a thousand of them
    // then cost little more memory than plain ones.
    SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
    return true;
}

}  // namespace

std::shared_ptr<ssl::context> loadTlsContext(const TlsFiles& files, std::string& problem) {
    if (!readable(files.certificate, "certificate", problem) || !readable(files.key, "key", problem))
        return nullptr;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    if (!secureDefaults(native, files.tls13Only, problem)) return nullptr;
    if (SSL_CTX_use_certificate_chain_file(native, files.certificate.c_str()) != 1) {
        problem = "no PEM certificate in " + files.certificate + ": " + libraryReason("unreadable");
        return nullptr;
    }
    std::string reason;
    const KeyFile key = useKeyFile(native, files.key, reason);
    if (key == KeyFile::Used) return context;
    problem = key == KeyFile::NoKey ? "no PEM private key in " + files.key + ": " + reason
                                    : keyFileProblem(key, "TLS", files.key, files.certificate, reason);
    return nullptr;
}

std::int64_t certificateExpiry(ssl::context& context) {
    const X509* certificate = SSL_CTX_get0_certificate(context.native_handle());
    std::tm notAfter{};
    if (certificate == nullptr || ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &notAfter) != 1) return 0;
    return static_cast<std::int64_t>(timegm(&notAfter));
}

bool tlsFilesUsable(const TlsFiles& files) {
    std::string problem;
    if (!loadTlsContext(files, problem)) {
        consoleErr(LineKind::Error, "TirnSerial: %s\n", problem.c_str());
        return false;
    }
    struct stat key{};
    if (stat(files.key.c_str(), &key) == 0 && (key.st_mode & S_IROTH) != 0)
        consoleErr(LineKind::Warning, "TirnSerial: warning: other users can read the TLS key %s (chmod o-r it)\n",
                   files.key.c_str());
    return true;
}
