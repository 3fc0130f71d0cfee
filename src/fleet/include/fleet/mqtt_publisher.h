// The fleet component: scans for an MQTT broker (this publisher, its
// settings in mqtt_settings.h, the outbox on disk in scan_outbox.h). It
// uses the utf8 component, the console and the secrets.
//
// Every scan's message published to an MQTT broker as well, from threads
// of its own: the relay hands a scan over and never waits for the broker
// or the disk. One thread writes each scan to the outbox on disk; the other keeps it until the broker has it (QoS 1) or it is on the
// socket (QoS 0). While the broker is down, slow or restarting, scans wait (the oldest
// dropped first past the bound, counted) and go out in order once the
// connection is back, those stored by an earlier run first; reconnection
// backs off up to 30 s, further after a refused login. Each carries its
// number (the one WebSocket clients see) as the MQTT v5 user property
// "seq", when it ended as "time" (RFC 3339, UTC, milliseconds) and its
// scanner (its name, or its path) as "scanner"; a topic per scanner takes
// the scanner kept with each scan, so a restart sends it where it was
// going. A scan the broker refuses (PUBACK 0x80 or above) waits, in order, and is offered again later; one
// it can never take (larger than its maximum packet) is dropped. A retained
// status message says "online", and the broker says "offline" for us (our
// last will) when the connection is lost.
#pragma once

#include "fleet/broker_figures.h"
#include "fleet/mqtt_settings.h"
#include "fleet/scan_outbox.h"
#include "history/scan_history.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct ssl_st;
struct x509_store_ctx_st;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

class MqttPublisher {
public:
    // Without an outbox (it could not be opened) scans wait in memory only,
    // each counted as a disk error, and the store is tried again with later
    // scans.
    MqttPublisher(MqttSettings settings, std::unique_ptr<ScanOutbox> outbox);
    // Gives queued messages a moment to go out, says "offline", disconnects.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Any thread; never blocks on the broker.
    void publish(const NumberedScan& scan);
    BrokerFigures figures() const;

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void wake();
    void takeStoredScans();
    void keepStoring();
    void takeNewScans();
    std::shared_ptr<ScanOutbox> outbox() const;
    bool reopenOutbox();
    bool takeLateStoredScans(ScanOutbox& outbox);
    void keepWithinBound();
    void forgetDelivered(bool evenIfFew);
    void diskTrouble(const std::string& what, const std::string& why, std::uint64_t errors = 1);
    // One console line when the disk works again after diskTrouble.
    void diskBack();
    void connect();
    void serveConnection(Clock::duration timeout);
    void publishNext();
    void refused(const std::string& why);
    void rejectFront(std::size_t bytes);
    void deliveredFront();
    bool setUpTls();
    void disconnect(const std::string& why);
    void sayTlsRefusal(const std::string& reason, std::chrono::seconds wait);
    void finish();
    void sayOfflineAfterDraining();
    void waitForWork(Clock::duration timeout);

    static void onConnect(mosquitto* client, void* self, int result, int flags, const mosquitto_property* properties);
    static void onDisconnect(mosquitto* client, void* self, int result);
    static void onPublish(mosquitto* client, void* self, int messageId, int reason, const mosquitto_property*);
    static void onLog(mosquitto* client, void* self, int level, const char* text);
    static int onVerify(int ok, x509_store_ctx_st* store);
    static void onTlsEvent(const ssl_st* ssl, int where, int alert);

    const MqttSettings settings_;
    std::shared_ptr<ScanOutbox> outbox_;  // under guard_: the storer opens it late
    const std::string statusTopic_;
    Clock::time_point lastOpenAttempt_;
    mosquitto* client_ = nullptr;
    Clock::time_point attemptStarted_;
    Clock::time_point nextAttempt_;
    std::chrono::seconds backoff_{1};
    std::string lost_;          // why the connection should go, from a callback
    bool connectRefused_ = false;  // the broker answered, and said no
    bool loginRefused_ = false;    // to who we are
    std::string tlsProblem_;       // OpenSSL's reason a TLS connection failed
    std::uint32_t maxPacket_ = 0;  // the broker's, from its CONNACK; 0: none said
    Clock::time_point nextOffer_;  // when a refused scan is offered again
    std::chrono::seconds offerBackoff_{1};
    bool refusing_ = false;     // the line that the broker refuses scans
    std::atomic<bool> inFlight_{false};  // the queue's front is on its way; set under guard_
    int inFlightId_ = 0;
    bool sayingOffline_ = false;  // the last message: the status, at the end
    bool protocolV5_ = true;      // until a broker says it speaks only 3.1.1
    std::uint64_t deliveredThrough_ = 0;  // every scan up to it delivered or dropped
    std::uint64_t forgottenThrough_ = 0;  // and removed from the store
    bool removalFailed_ = false;          // the last removal failed: tried again each second
    Clock::time_point lastRemoval_;
    std::atomic<bool> diskFailing_;
    bool droppingSaid_ = false;       // the line that scans are dropped
    std::uint64_t droppedSeen_ = 0;
    int wakeFd_;

    mutable std::mutex guard_;  // the queues and the figures below
    std::deque<OutboxScan> incoming_;   // from the relay, not yet stored
    std::deque<OutboxScan> queue_;      // numbered, in order, waiting for the broker
    std::condition_variable incomingReady_;
    bool storerStopping_ = false;
    std::uint64_t published_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t stored_ = 0;
    std::uint64_t diskErrors_ = 0;
    std::uint64_t refused_ = 0;
    std::uint64_t rejected_ = 0;
    std::uint64_t lastSeq_ = 0;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::thread storer_;  // stores what the relay hands over
    std::thread thread_;  // talks to the broker
};
