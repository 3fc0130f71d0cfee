// scripts/make-cert's path, compiled here alone so that no other file's
// object depends on where the checkout is (the compiler cache then serves
// a clone in another folder).
extern const char kMakeCertScript[];
const char kMakeCertScript[] = TIRN_MAKE_CERT_SCRIPT;
