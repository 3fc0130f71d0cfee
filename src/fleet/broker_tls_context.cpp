#include "broker_tls_context.h"

#include "console/console_lines.h"
#include "secrets/private_key_file.h"
#include "secrets/token_file.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

namespace {

constexpr const char* kSystemCertificates = "/etc/ssl/certs";

// OpenSSL's reason for the last failure, or `fallback`.
std::string libraryReason(const char* fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

bool readable(const std::string& path, const char* option, std::string& problem) {
    if (std::ifstream(path)) return true;
    problem = std::string("cannot read ") + option + " " + path + ": " + strerror(errno);
    return false;
}

bool unusable(const char* option, const std::string& path, const char* what, std::string& problem) {
    problem = std::string(option) + " " + path + " holds no PEM " + what + ": " + libraryReason("unreadable");
    return false;
}

bool trustTheBroker(SSL_CTX* context, const MqttSettings& settings, std::string& problem) {
    if (settings.caFile.empty()) {
        SSL_CTX_load_verify_locations(context, nullptr, kSystemCertificates);
    } else if (!readable(settings.caFile, "--mqtt-cafile", problem)) {
        return false;
    } else if (SSL_CTX_load_verify_locations(context, settings.caFile.c_str(), nullptr) != 1) {
        return unusable("--mqtt-cafile", settings.caFile, "CA certificate", problem);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // The certificate must name the host the URL names, address or name.
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(context);
    unsigned char address[16];
    const bool numeric = inet_pton(AF_INET, settings.host.c_str(), address) == 1 ||
                         inet_pton(AF_INET6, settings.host.c_str(), address) == 1;
    const int named = numeric ? X509_VERIFY_PARAM_set1_ip_asc(check, settings.host.c_str())
                              : X509_VERIFY_PARAM_set1_host(check, settings.host.c_str(), 0);
    if (named == 1) return true;
    problem = "cannot check the broker's certificate for " + settings.host + ": " + libraryReason("out of memory");
    return false;
}

bool presentThisBox(SSL_CTX* context, const MqttSettings& settings, std::string& problem) {
    if (settings.certificate.empty()) return true;
    if (!readable(settings.certificate, "--mqtt-cert", problem) || !readable(settings.key, "--mqtt-key", problem))
        return false;
    if (SSL_CTX_use_certificate_chain_file(context, settings.certificate.c_str()) != 1)
        return unusable("--mqtt-cert", settings.certificate, "certificate", problem);
    std::string reason;
    const KeyFile key = useKeyFile(context, settings.key, reason);
    if (key == KeyFile::Used) return true;
    problem = key == KeyFile::NoKey ? "--mqtt-key " + settings.key + " holds no PEM private key: " + reason
                                    : keyFileProblem(key, "MQTT", settings.key, settings.certificate, reason);
    return false;
}

}  // namespace

SSL_CTX* newBrokerTlsContext(const MqttSettings& settings, std::string& problem) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context) {
        problem = "cannot make a TLS context: " + libraryReason("out of memory");
        return nullptr;
    }
    if (SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1) {
        problem = "cannot make a TLS context: " + libraryReason("TLS 1.2 refused");
        return nullptr;
    }
    SSL_CTX_set_options(context.get(), SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(context.get(), SSL_MODE_RELEASE_BUFFERS);
    if (!trustTheBroker(context.get(), settings, problem) || !presentThisBox(context.get(), settings, problem))
        return nullptr;
    return context.release();
}

bool checkMqttTlsFiles(const MqttSettings& settings) {
    if (!settings.tls) return true;
    std::string problem;
    SSL_CTX* context = newBrokerTlsContext(settings, problem);
    if (context == nullptr) {
        consoleErr(LineKind::Error, "TirnSerial: %s\n", problem.c_str());
        return false;
    }
    SSL_CTX_free(context);
    if (!settings.key.empty()) warnIfOthersCanRead(settings.key, "MQTT key");
    return true;
}
