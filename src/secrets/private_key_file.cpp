#include "secrets/private_key_file.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace {

// OpenSSL asks for a pass phrase only when the key is encrypted: this notes
// that and gives none, so the read fails at once.
int refusePassPhrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

std::string lastReason(const char* fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

}  // namespace

KeyFile useKeyFile(SSL_CTX* context, const std::string& path, std::string& reason) {
    ERR_clear_error();
    const std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "r"), BIO_free);
    if (!file) {
        reason = lastReason("unreadable");
        return KeyFile::NoKey;
    }
    bool asked = false;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(file.get(), nullptr, refusePassPhrase, &asked), EVP_PKEY_free);
    if (!key) {
        reason = lastReason("unreadable");
        return asked ? KeyFile::Encrypted : KeyFile::NoKey;
    }
    // SSL_CTX_use_PrivateKey would refuse a stranger's key too, but only
    // with "key values mismatch"; asking first tells the two cases apart.
    X509* certificate = SSL_CTX_get0_certificate(context);
    if (certificate == nullptr) {
        reason = "no certificate to go with it";
        return KeyFile::Refused;
    }
    if (X509_check_private_key(certificate, key.get()) != 1) {
        reason = lastReason("key values mismatch");
        return KeyFile::NotTheCertificates;
    }
    if (SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1) {
        reason = lastReason("unusable");
        return KeyFile::Refused;
    }
    return KeyFile::Used;
}

std::string keyFileProblem(KeyFile result, const char* which, const std::string& path,
                           const std::string& certificate, const std::string& reason) {
    const std::string key = std::string("the ") + which + " key " + path;
    switch (result) {
    case KeyFile::Encrypted:
        return key + " is encrypted, and the service asks for no pass phrase: give it the key unencrypted "
                     "(openssl pkey -in " + path + " -out NEW.key)";
    case KeyFile::NotTheCertificates:
        return key + " does not match the certificate " + certificate;
    default:
        return key + " cannot be used: " + reason;
    }
}
