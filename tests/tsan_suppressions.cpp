// Built into TirnSerial under ThreadSanitizer only. Compiled in rather than
// read from a file: the service may run as nobody, who cannot read a file
// in a private checkout.
extern "C" const char* __tsan_default_suppressions() {
    // libmosquitto takes its own mutexes in more than one order; only the
    // publisher's thread uses a client, so they cannot deadlock.
    return "deadlock:libmosquitto.so\n";
}
