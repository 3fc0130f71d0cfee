// The port speaking TLS only, through the real binary: wss:// subscribers,
// https:// status, plain clients told to use TLS, start-up checks, renewal by SIGHUP,
// and clients that stall or vanish, over TLS and plain alike.
#include "http_reply.h"
#include "service_test.h"

#include <cjson/cJSON.h>
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct CertificatePair {
    std::string certificate, key;
};

// A self-signed pair for `name` in a new directory, made by the script
// users run (given `flags`, " --rsa" say).
CertificatePair makeCertificate(const std::string& name, const std::string& flags = "") {
    char pattern[] = "/tmp/tls-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string command = kMakeCertScript + flags + " --out " + dir + " " + name + " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return {dir + "/tirnserial.crt", dir + "/tirnserial.key"};
}

std::vector<std::string> tlsArguments(const CertificatePair& pair) {
    return {"0", "--tls-cert", pair.certificate, "--tls-key", pair.key};
}

class Tls : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (IsSkipped()) return;
        endpoint_.tls = true;
        pair_ = makeCertificate("alpha.example");
    }

    // Where a TLS client's certificate was issued to, on a new connection.
    std::string servedSubject() {
        auto client = WsClient::connect(endpoint_);
        return client ? client->peerSubject() : "no connection";
    }

    void startPlainOrTls(bool tls) {
        endpoint_.tls = tls;
        startService(tls ? tlsArguments(pair_) : std::vector<std::string>{"0"});
    }

    void hangUpAndWaitFor(const char* printed, int times = 1) {
        ASSERT_EQ(kill(service_->pid(), SIGHUP), 0);
        ASSERT_TRUE(service_->waitForOutput(printed, times)) << service_->out();
    }

    CertificatePair pair_;
};

TEST_F(Tls, EverythingIsServedEncryptedAndNothingInClear) {
    startService(tlsArguments(pair_));
    auto secure = subscriber();
    EXPECT_FALSE(WsClient::connect(kServiceEndpoint, 1s)) << "a plain WebSocket client was accepted";
    // A plain request is told what to use, in clear, and gets nothing else.
    const std::string clearReply = WsClient::exchange("GET /status HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(clearReply.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << clearReply;
    EXPECT_NE(clearReply.find("\r\nConnection: close\r\n"), std::string::npos) << clearReply;
    EXPECT_NE(clearReply.find("\r\n\r\nBad Request: this port speaks TLS only: use https:// or wss:// with port "
                              "9010\n"), std::string::npos) << clearReply;
    EXPECT_EQ(clearReply.find("\"scans_relayed\""), std::string::npos) << clearReply;

    service_->scan("\xD6\xD0\xCE\xC4-42\r");
    expectNextMessage(*secure, scanMessage("中文-42\\r", 10));
    std::string escaped;  // messages larger than one TLS record
    for (int i = 0; i < 3000; ++i) escaped += "\\u0001";
    service_->scan(std::string(3000, '\x01'));
    EXPECT_EQ(collectData(*secure, escaped.size()), escaped);

    const HttpReply status = request("GET", "/status", endpoint_);
    ASSERT_EQ(status.status, 200) << status.head;
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    ASSERT_TRUE(json);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(json.get(), "tls")));
    const char* expires = cJSON_GetStringValue(cJSON_GetObjectItem(json.get(), "certificate_expires"));
    ASSERT_TRUE(expires) << status.body;
    const std::string metrics = request("GET", "/metrics", endpoint_).body;
    const auto at = metrics.find("\ntirnserial_tls_certificate_expiry_timestamp_seconds ");
    ASSERT_NE(at, std::string::npos) << metrics;
    const double expiry = std::stod(metrics.substr(metrics.find(' ', at) + 1));
    EXPECT_NEAR(expiry, static_cast<double>(std::time(nullptr)) + 825 * 86400.0, 3600) << expires;

    secure->close();
    EXPECT_TRUE(service_->waitForOutput("Reg test: called connection close (TLS: 1)..\n"));
    unplugAndExpectCleanExit();
}

// A bad pair starts nothing, each with its reason (an encrypted key too:
// nothing prompts); a key others can read is only warned about.
// The script's pair, without names, names the box as tablets on its network
// reach it.
TEST_F(Tls, StartupChecksTheFiles) {
    ASSERT_EQ(std::system("ip address add 10.9.9.7/24 dev lo"), 0);
    const CertificatePair unnamed = makeCertificate("");
    const std::string names = commandOutput("openssl x509 -noout -ext subjectAltName -in " + unnamed.certificate);
    const std::string host = commandOutput("hostname | tr -d '\\n'");
    const std::vector<std::string> expected = {"IP Address:10.9.9.7", "IP Address:127.0.0.1", "DNS:localhost",
                                               "DNS:" + host + ",", "DNS:" + host + ".local"};
    for (const std::string& name : expected)
        EXPECT_NE(names.find(name), std::string::npos) << name << " in " << names;

    const CertificatePair other = makeCertificate("beta.example");
    const std::string garbage = pair_.certificate + ".garbage";
    std::ofstream(garbage) << "not a certificate\n";
    // Encrypted keys, as PKCS#8 and in the older form: neither may ask for
    // a pass phrase.
    const std::string sealed = pair_.key + ".sealed", oldSealed = pair_.key + ".old-sealed";
    const std::string seal = "openssl pkey -in " + pair_.key + " -aes256 -passout pass:x -out " + sealed +
                             " && openssl pkey -traditional -in " + pair_.key + " -aes256 -passout pass:x -out " +
                             oldSealed;
    ASSERT_EQ(std::system(seal.c_str()), 0) << seal;
    const std::string encrypted = " is encrypted, and the service asks for no pass phrase: give it the key unencrypted";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"0", "--tls-cert", pair_.certificate + ".missing", "--tls-key", pair_.key}, "cannot read the TLS certificate"},
        {{"0", "--tls-cert", pair_.certificate, "--tls-key", pair_.key + ".missing"}, "cannot read the TLS key"},
        {{"0", "--tls-cert", garbage, "--tls-key", pair_.key}, "no PEM certificate in " + garbage},
        {{"0", "--tls-cert", pair_.certificate, "--tls-key", garbage}, "no PEM private key in " + garbage},
        {{"0", "--tls-cert", pair_.certificate, "--tls-key", other.key},
         "the TLS key " + other.key + " does not match the certificate " + pair_.certificate + "\n"},
        {{"0", "--tls-cert", pair_.certificate, "--tls-key", sealed}, "the TLS key " + sealed + encrypted},
        {{"0", "--tls-cert", pair_.certificate, "--tls-key", oldSealed}, "the TLS key " + oldSealed + encrypted},
    };
    for (const auto& [args, says] : refused) expectRefusedWithOneLine(args, says);

    chmod(pair_.key.c_str(), 0644);
    startService(tlsArguments(pair_));
    EXPECT_TRUE(service_->waitForError("warning: other users can read the TLS key " + pair_.key)) << service_->err();
    EXPECT_TRUE(subscriber());
    unplugAndExpectCleanExit();
}

// New connections get the renewed certificate, open ones keep theirs, and a
// renewal that fails keeps the pair in use.
TEST_F(Tls, HangupReloadsThePair) {
    startService(tlsArguments(pair_));
    auto open = subscriber();
    EXPECT_NE(servedSubject().find("alpha.example"), std::string::npos);

    const CertificatePair renewed = makeCertificate("beta.example");
    for (const auto& [from, to] : {std::pair{renewed.certificate, pair_.certificate}, {renewed.key, pair_.key}})
        std::ofstream(to, std::ios::trunc) << std::ifstream(from).rdbuf();
    hangUpAndWaitFor("TLS: reloaded the certificate ");
    EXPECT_NE(servedSubject().find("beta.example"), std::string::npos);
    expectScanReaches(*open, "AFTER-RENEWAL");

    std::ofstream(pair_.key, std::ios::trunc) << "truncated\n";
    hangUpAndWaitFor("TLS: reload failed, keeping the certificate in use: no PEM private key in ");
    EXPECT_NE(servedSubject().find("beta.example"), std::string::npos);
    expectScanReaches(*open, "STILL-SERVED");
    unplugAndExpectCleanExit();
}

// Connections that never finish opening, plain (a request cut short) or
// TLS (a ClientHello cut short, or nothing): the good client is served
// meanwhile, and after 30 s each is dropped. (Plain and TLS are two tests,
// so that their half minutes each can pass beside other tests.)
class UnfinishedOpenings : public Tls, public testing::WithParamInterface<bool> {};

TEST_P(UnfinishedOpenings, AreDroppedAfterThirtySeconds) {
    const bool tls = GetParam();
    startPlainOrTls(tls);
    auto good = subscriber();
    std::vector<std::unique_ptr<WsClient>> stuck;
    for (int i = 0; i < 300; ++i) {
        stuck.push_back(WsClient::connectRaw());
        ASSERT_TRUE(stuck.back());
        if (i % 2 == 0)
            stuck.back()->sendRaw(tls ? "\x16\x03\x01\x02\x00\x01" : "GET / HTTP/1.1\r\nUpgrade: websocket\r\n");
    }
    service_->scan("SERVED");
    ASSERT_TRUE(good->receive());
    std::this_thread::sleep_for(25s);
    for (auto& client : stuck) EXPECT_TRUE(client->waitClosed(10s));
    expectScanReaches(*good, "STILL-SERVED");
    unplugAndExpectCleanExit();
}
INSTANTIATE_TEST_SUITE_P(PlainOrTls, UnfinishedOpenings, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

// An outside scanner (testssl.sh) finds nothing to report: only TLS 1.2
// and 1.3, no CBC and no suite without forward secrecy, no vulnerability;
// with ECDSA and RSA certificates alike.
TEST_F(Tls, OutsideScannerFindsNothing) {
    SKIP_UNDER_EMULATION("the scan takes minutes against an emulated service; the native builds run it");
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the release and AddressSanitizer builds run the scan; under ThreadSanitizer it outlasts the limit";
#endif
    const CertificatePair rsa = makeCertificate("rsa.example", " --rsa");
    // Protocols, cipher categories and vulnerabilities once; every suite
    // with the RSA certificate, the only kind that could agree on a suite
    // without forward secrecy.
    for (const auto& [pair, checks] : {std::pair{pair_, "--protocols --std --vulnerable"},
                                       std::pair{rsa, "--each-cipher --robot"}}) {
        startService(tlsArguments(pair));
        const std::string report = pair.certificate + ".json";
        const std::string command = std::string("testssl --quiet --color 0 --warnings off --ip one --nodns min ") +
                                    checks + " --jsonfile " + report + " 127.0.0.1:9010 >" + report + ".log 2>&1";
        EXPECT_NE(std::system(command.c_str()), -1) << command;  // its status tells of findings, read below
        std::ifstream file(report);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> findings(cJSON_Parse(text.c_str()), cJSON_Delete);
        ASSERT_TRUE(cJSON_IsArray(findings.get())) << command << "\n" << text;
        int ciphers = 0;
        const cJSON* item = nullptr;
        cJSON_ArrayForEach(item, findings.get()) {
            const std::string id = cJSON_GetStringValue(cJSON_GetObjectItem(item, "id"));
            const std::string severity = cJSON_GetStringValue(cJSON_GetObjectItem(item, "severity"));
            const std::string finding = cJSON_GetStringValue(cJSON_GetObjectItem(item, "finding"));
            const std::string said = pair.certificate + ": " + id + " " + severity + ": " + finding;
            for (const char* bad : {"LOW", "MEDIUM", "HIGH", "CRITICAL"}) EXPECT_NE(severity, bad) << said;
            for (const char* old : {"SSLv2", "SSLv3", "TLS1", "TLS1_1", "cipherlist_NULL", "cipherlist_aNULL",
                                    "cipherlist_EXPORT", "cipherlist_LOW", "cipherlist_3DES_IDEA", "cipherlist_AVERAGE"})
                if (id == old) {
                    EXPECT_EQ(finding, "not offered") << said;
                }
            // Each suite offered: TLS 1.3's, or ECDHE with an AEAD cipher.
            if (id.rfind("cipher_x", 0) == 0) {
                ++ciphers;
                const bool tls13 = finding.find(" TLS_AES_") != std::string::npos ||
                                   finding.find(" TLS_CHACHA20_POLY1305_SHA256") != std::string::npos;
                const bool ecdheAead = finding.find("ECDHE-") != std::string::npos &&
                                       (finding.find("GCM") != std::string::npos ||
                                        finding.find("CHACHA20-POLY1305") != std::string::npos);
                EXPECT_TRUE(tls13 || ecdheAead) << said;
            }
        }
        EXPECT_GE(ciphers, pair.certificate == rsa.certificate ? 4 : 0) << text;
        ASSERT_TRUE(service_->waitUntilServing()) << "the service did not survive the scan";
        unplugAndExpectCleanExit();
    }
}

// Subscribers that stop reading, plain or TLS: those that half-close while
// a write to them is under way go at once, and one that stays is dropped
// once a megabyte of scans waits for it; the good client is not held up.
TEST_F(Tls, StalledReadersAreLetGo) {
    shrinkSocketBuffers();
    for (const bool tls : {false, true}) {
        startPlainOrTls(tls);
        auto good = subscriber();
        const int before = service_->openDescriptors();
        std::vector<std::unique_ptr<WsClient>> stalled;
        for (int i = 0; i < 5; ++i) stalled.push_back(subscriber());
        auto staying = subscriber(3);
        auto scanReachesTheGoodClient = [&] {
            service_->scan(std::string(2000, '\x01'));  // 12 KB escaped
            return good->receive().has_value();
        };
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(scanReachesTheGoodClient());
        for (auto& client : stalled) shutdown(client->descriptor(), SHUT_WR);
        const char* kind = tls ? "TLS: " : "plain: ";
        EXPECT_TRUE(waitForDescriptors(*service_, before + 1)) << kind << service_->openDescriptors();
        for (int i = 0; i < 120 && !staying->waitClosed(0ms); ++i) ASSERT_TRUE(scanReachesTheGoodClient()) << i;
        EXPECT_TRUE(staying->waitClosed()) << kind << "still connected";
        EXPECT_TRUE(waitForDescriptors(*service_, before)) << kind << service_->openDescriptors();
        unplugAndExpectCleanExit();
    }
}

// Clients that vanish at every stage of a connection, while scans flow and
// while the service stops: nothing is left behind (the leak checker of a
// sanitizer build ends the service with a failure otherwise).
TEST_F(Tls, ClientsVanishingAtEveryStageWhileTheServiceStops) {
    SKIP_UNDER_EMULATION("every handshake on both ends is emulated; the native and sanitizer builds run it");
    startService(tlsArguments(pair_));
    auto good = subscriber();
    const std::string upgrade = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    // One client, gone after `stage` steps of its connection.
    auto vanishAfter = [&](int stage) {
        auto client = WsClient::connectRaw(9010, 1s);
        if (!client || stage == 0) return;
        if (stage == 1) {
            client->sendRaw("\x16\x03\x01\x02\x00\x01");  // a ClientHello cut short
            return;
        }
        if (!client->startTls(1s) || stage == 2) return;
        if (stage == 3) {
            client->sendRaw(upgrade.substr(0, 20));
            return;
        }
        client->sendRaw(upgrade);
        if (stage == 4) return;
        client->receive(10ms);
        client->sendText("hello");
        if (stage == 5) return;
        client->receive(100ms);  // a scan, perhaps
        if (stage == 6) shutdown(client->descriptor(), SHUT_WR);
        if (stage == 7) client->close();
    };
    constexpr int kStages = 8;
    // Four threads of clients, each bounded in count, and ended and joined
    // whichever way the test leaves.
    struct Fleet {
        std::atomic<bool> stopped{false};
        std::vector<std::thread> threads;
        ~Fleet() {
            stopped = true;
            for (auto& thread : threads) thread.join();
        }
    } fleet;
    for (int t = 0; t < 4; ++t)
        fleet.threads.emplace_back([&, t] {
            for (int i = t; !fleet.stopped && i < 5000; ++i) vanishAfter(i % kStages);
        });
    for (int i = 0; i < 3; ++i) expectScanReaches(*good, "WHILE-CHURNING-" + std::to_string(i));
    service_->unplugScanner();
    EXPECT_EQ(service_->waitForExit(30s), 0) << service_->err();
    EXPECT_EQ(service_->err().find("LeakSanitizer"), std::string::npos) << service_->err();
}

}  // namespace
