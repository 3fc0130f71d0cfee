// Clients that come back: numbered scans, since=, the history's notices,
// GET /scans and event streams (GET /events), end to end.
#include "http_reply.h"
#include "service_test.h"
#include "ws_framing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A member of a formatted message or of /status: `"name":\t` and its text.
std::string member(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto at = json.find(key);
    if (at == std::string::npos) return "";
    auto start = at + key.size();
    while (start < json.size() && (json[start] == '\t' || json[start] == ' ')) ++start;
    const auto end = json.find_first_of(",\n}", start);
    return json.substr(start, end - start);
}

std::uint64_t seqOf(const std::string& message) { return std::stoull(member(message, "seq")); }
std::string dataOf(const std::string& message) {
    const std::string data = member(message, "Data");
    return data.size() >= 2 ? data.substr(1, data.size() - 2) : data;
}

// The message that tells a numbered client it is subscribed, and the
// newest number then; 0 when another message came.
std::uint64_t subscribedLast(WsClient& client) {
    const auto message = client.receive();
    EXPECT_TRUE(message);
    if (!message) return 0;
    EXPECT_EQ(member(message->payload, "type"), "\"SUBSCRIBED\"") << message->payload;
    return std::stoull("0" + member(message->payload, "last"));
}

std::string statusFigure(const std::string& name, const std::string& token = "") {
    const std::string auth = token.empty() ? "" : "Authorization: Bearer " + token + "\r\n";
    const HttpReply reply =
        parseReply(WsClient::exchange("GET /status HTTP/1.1\r\nHost: 127.0.0.1:9010\r\n" + auth + "\r\n"));
    return member(reply.body, name);
}

// A raw client of /events: the head of the answer, then one event at a time.
class EventReader {
public:
    explicit EventReader(const std::string& request) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(9010);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }
    ~EventReader() { close(fd_); }

    // What came before the first blank line: the head, or the next event.
    std::string next(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto head = buffer_.find("\r\n\r\n");
            const auto end = head != std::string::npos ? head : buffer_.find("\n\n");
            if (end != std::string::npos) {
                std::string block = buffer_.substr(0, end);
                buffer_.erase(0, end + (head != std::string::npos ? 4 : 2));
                return block;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd readable{fd_, POLLIN, 0};
            if (!connected_ || left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) return "";
            char chunk[4096];
            const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) return "";
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // The next event that is no comment and no retry field.
    std::string nextEvent(std::chrono::milliseconds timeout = 5s) {
        for (;;) {
            std::string event = next(timeout);
            if (event.empty() || (event[0] != ':' && event.rfind("retry:", 0) != 0)) return event;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

std::string eventsRequest(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:9010\r\n" + headers + "\r\n";
}

class Resume : public ServiceTest {
protected:
    std::unique_ptr<WsClient> numbered(const std::string& target, const std::string& subscribe = "hello") {
        WsEndpoint endpoint = kServiceEndpoint;
        endpoint.target = target;
        auto client = WsClient::connect(endpoint);
        EXPECT_TRUE(client) << target;
        if (client) client->sendText(subscribe);
        EXPECT_TRUE(service_->waitForOutput("g_conn  get!", ++subscriptions_));
        return client;
    }
    void startWithState(std::vector<std::string> args = {}) {
        if (stateDir_.empty()) {
            char pattern[] = "/tmp/resume-XXXXXX";
            stateDir_ = mkdtemp(pattern);
        }
        std::vector<std::string> all{"0", "--end-on", "cr", "--state-dir", stateDir_};
        all.insert(all.end(), args.begin(), args.end());
        startService(all);
    }
    // Scans TEXT and answers its number, once a numbered client has it.
    std::uint64_t scanned(const std::string& text) {
        auto watcher = numbered("/?since=now");
        subscribedLast(*watcher);
        service_->scan(text + "\r");
        const auto message = watcher->receive();
        return message ? seqOf(message->payload) : 0;
    }
    // A start, and a client coming back after SINCE: it has SCAN again, or
    // first a notice that scans may have been lost.
    void expectScanOrLost(std::uint64_t since, const std::string& scan) {
        startWithState();
        auto client = numbered("/?since=" + std::to_string(since));
        auto first = client->receive();
        ASSERT_TRUE(first) << "neither " << scan << " nor a notice came";
        if (member(first->payload, "type") == "\"SUBSCRIBED\"") first = client->receive();
        ASSERT_TRUE(first) << "neither " << scan << " nor a notice came";
        if (dataOf(first->payload) == scan + "\\r") return;
        EXPECT_EQ(member(first->payload, "count") + member(first->payload, "lost"), "nulltrue") << first->payload;
    }
    std::string stateDir_;
};

// A client that drops and comes back with since= while the scanner types at
// line rate has every scan once, in order, across a restart of the service
// too; a client that never asked has the plain messages, byte for byte.
TEST_F(Resume, ClientComingBackMissesNothingAndHasNothingTwice) {
    startWithState();
    auto plain = subscriber();
    constexpr int kScans = 120;
    // Subscribed before the first scan, so that it counts every one.
    auto client = numbered("/?since=now");
    subscribedLast(*client);
    std::thread scanner([this] {
        for (int i = 0; i < kScans; ++i) service_->scan("S" + std::to_string(1000 + i) + "\r", Pacing{Adapter::Line, {}});
    });
    std::vector<std::string> seen;
    std::uint64_t last = 0;
    while (seen.size() < static_cast<std::size_t>(kScans)) {
        for (int i = 0; i < 7 && seen.size() < static_cast<std::size_t>(kScans); ++i) {
            const auto message = client->receive();
            if (!message) scanner.join();  // ends the test at once, as the assertion below does
            ASSERT_TRUE(message) << seen.size() << " scans came, the last numbered " << last << "; "
                                 << request("GET", "/status").body;
            if (!seen.empty()) {
                ASSERT_EQ(seqOf(message->payload), last + 1) << message->payload;
            }
            last = seqOf(message->payload);
            seen.push_back(dataOf(message->payload));
        }
        client->close();
        // Scans go on while it is away.
        const int relayed = std::stoi(statusFigure("scans_relayed"));
        ASSERT_TRUE(eventually([&] { return std::stoi(statusFigure("scans_relayed")) >= std::min(kScans, relayed + 2); }));
        client = numbered("/?since=" + std::to_string(last));
        EXPECT_GE(subscribedLast(*client), last);
    }
    scanner.join();
    ASSERT_FALSE(seen.empty());
    const int first = std::stoi(seen.front().substr(1)) - 1000;
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], "S" + std::to_string(1000 + first + i) + "\\r");
    for (int i = 0; i < kScans; ++i) expectNextMessage(*plain, scanMessage("S" + std::to_string(1000 + i) + "\\r", 6));
    EXPECT_NE(statusFigure("scans_replayed"), "0") << request("GET", "/status").body;
    client.reset();
    plain.reset();

    unplugAndExpectCleanExit();
    startWithState();
    service_->scan("AFTER\r");
    auto back = numbered("/?since=" + std::to_string(last));
    subscribedLast(*back);
    const auto after = back->receive();
    ASSERT_TRUE(after);
    EXPECT_EQ(dataOf(after->payload), "AFTER\\r");
    EXPECT_GT(seqOf(after->payload), last);
    unplugAndExpectCleanExit();
}

// What the history no longer has is told first, with how many; a number
// above the last (another box's) is told with a null count; then that the
// client is subscribed, with the newest number, before the history's scans.
// since= that is no number is refused, for WebSocket clients, /scans and
// /events alike.
TEST_F(Resume, NoticesOfMissedScansAndRefusedSince) {
    startWithState({"--history", "5"});
    auto watcher = numbered("/?since=now");
    const std::uint64_t before = subscribedLast(*watcher);
    for (int i = 0; i < 8; ++i) service_->scan("M" + std::to_string(i) + "\r");
    std::uint64_t first = 0, last = 0;
    for (int i = 0; i < 8; ++i) {
        const auto message = watcher->receive();
        ASSERT_TRUE(message);
        if (i == 0) first = seqOf(message->payload);
        last = seqOf(message->payload);
    }
    EXPECT_LT(before, first);
    auto behind = numbered("/?since=" + std::to_string(first - 1));
    const auto notice = behind->receive();
    ASSERT_TRUE(notice);
    EXPECT_EQ(member(notice->payload, "type"), "\"SCANS_MISSED\"");
    EXPECT_EQ(member(notice->payload, "count"), "3") << notice->payload;
    EXPECT_EQ(member(notice->payload, "first"), std::to_string(first + 3));
    EXPECT_EQ(subscribedLast(*behind), last);
    for (int i = 3; i < 8; ++i) EXPECT_EQ(dataOf(behind->receive()->payload), "M" + std::to_string(i) + "\\r");

    auto ahead = numbered("/?since=" + std::to_string(last + 1000));
    const auto foreign = ahead->receive();
    ASSERT_TRUE(foreign);
    EXPECT_EQ(member(foreign->payload, "count"), "null") << foreign->payload;
    EXPECT_EQ(subscribedLast(*ahead), last);
    service_->scan("LIVE\r");
    EXPECT_EQ(dataOf(ahead->receive()->payload), "LIVE\\r");
    EXPECT_EQ(statusFigure("missed_notices"), "2");

    for (const char* bad : {"abc", "", "-1", "99999999999999999999999", "12x"}) {
        const std::string since = std::string("since=") + bad;
        EXPECT_EQ(parseReply(WsClient::exchange(clientHandshake("", "/?" + since))).status, 400) << bad;
        EXPECT_EQ(request("GET", "/scans?" + since).status, 400) << bad;
        EXPECT_EQ(request("GET", "/events?" + since).status, 400) << bad;
    }
    // M1 to M3 have left the history since LIVE came.
    const std::string missedHead = request("GET", "/scans?since=" + std::to_string(first)).head;
    EXPECT_NE(missedHead.find("\r\nX-TirnSerial-Missed: 3\r\n"), std::string::npos) << missedHead;
    const HttpReply scans = request("GET", "/scans?since=" + std::to_string(last - 2));
    EXPECT_EQ(scans.status, 200);
    EXPECT_EQ(occurrences(scans.body, "\"seq\""), 3) << scans.body;
    EXPECT_EQ(scans.body.front(), '[');
    unplugAndExpectCleanExit();
}

// Two named scanners typing at once, and a page for each till: a WebSocket
// client, an event stream and /scans that asked for one scanner have its
// scans only, in order, with the bytes an unfiltered client has; numbers
// stay the box's, so the two tills' together are every number once. A
// client coming back is told the numbers it missed of every scanner, as
// filtered, and has the rest of its own. Names the box has not, or too
// many, are refused with the names it has.
TEST_F(Resume, EachPageItsOwnScanners) {
    VirtualScanner second("/dev/ttyUSB1");
    startWithState({"--history", "12", "--device", "/dev/ttyUSB0,name=till-1", "--device", "/dev/ttyUSB1,name=till-2"});
    const HttpReply unknown = request("GET", "/scans?scanner=till-3");
    EXPECT_EQ(unknown.status, 400);
    EXPECT_NE(unknown.body.find("'till-3'; this box has till-1, till-2\n"), std::string::npos) << unknown.body;
    std::string tooMany = "/?since=now";
    for (int i = 0; i < 17; ++i) tooMany += "&scanner=till-1";
    for (const std::string& target : {std::string("/?scanner=till-3"), std::string("/?since=now&scanner="), tooMany})
        EXPECT_EQ(parseReply(WsClient::exchange(clientHandshake("", target))).status, 400) << target;
    EXPECT_EQ(request("GET", "/events?scanner=till-3").status, 400);

    auto till1 = numbered("/?since=now&scanner=till-1");
    const std::uint64_t before = subscribedLast(*till1);
    auto till2 = numbered("/?since=now&scanner=till-2&scanner=%2Fdev%2FttyUSB1");  // its path is the same scanner
    subscribedLast(*till2);
    endpoint_.target = "/?scanner=till-2";
    auto plain = subscriber();
    EventReader events(eventsRequest("/events?scanner=till-1"));
    EXPECT_EQ(events.next().rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(events.nextEvent().rfind("event: subscribed\n", 0), 0u);

    constexpr int kScans = 8;
    std::thread typing([&second] {
        for (int i = 0; i < kScans; ++i) second.type("B" + std::to_string(i) + "\r", Pacing{Adapter::Line, {}});
    });
    for (int i = 0; i < kScans; ++i) service_->scan("A" + std::to_string(i) + "\r", Pacing{Adapter::Line, {}});
    typing.join();
    std::map<std::uint64_t, char> tills;  // every number, and whose scan it went to
    for (const auto& [client, till] : {std::pair{till1.get(), '1'}, std::pair{till2.get(), '2'}}) {
        std::uint64_t last = before;
        for (int i = 0; i < kScans; ++i) {
            const auto message = client->receive();
            ASSERT_TRUE(message) << "till-" << till << " had " << i << " scans";
            EXPECT_EQ(dataOf(message->payload), (till == '1' ? "A" : "B") + std::to_string(i) + "\\r");
            EXPECT_EQ(member(message->payload, "scanner"), std::string("\"till-") + till + "\"");
            EXPECT_GT(seqOf(message->payload), last) << message->payload;
            last = seqOf(message->payload);
            EXPECT_TRUE(tills.emplace(last, till).second) << "number " << last << " went to both";
        }
    }
    ASSERT_EQ(tills.size(), 2u * kScans);
    EXPECT_EQ(tills.rbegin()->first - tills.begin()->first, 2u * kScans - 1) << "a number went to neither";
    for (int i = 0; i < kScans; ++i) {
        expectNextMessage(*plain, scanMessage("B" + std::to_string(i) + "\\r", 3));
        EXPECT_NE(events.nextEvent().find("\"Data\":\"A" + std::to_string(i) + "\\r\""), std::string::npos) << i;
    }
    // The history keeps 12 of the 16: the 4 oldest numbers are missed,
    // whichever till they went to.
    const auto kept = std::next(tills.begin(), 4);
    const HttpReply polled = request("GET", "/scans?since=" + std::to_string(before) + "&scanner=till-2");
    EXPECT_EQ(occurrences(polled.body, "\"scanner\":\t\"till-2\""),
              std::count_if(kept, tills.end(), [](const auto& number) { return number.second == '2'; }))
        << polled.body;
    EXPECT_EQ(occurrences(polled.body, "till-1"), 0) << polled.body;
    EXPECT_NE(polled.head.find("\r\nX-TirnSerial-Missed: 4\r\n"), std::string::npos) << polled.head;

    // Coming back, the rest of till-1's come, then live.
    auto back = numbered("/?since=" + std::to_string(before) + "&scanner=till-1");
    const auto notice = back->receive();
    ASSERT_TRUE(notice);
    EXPECT_EQ(member(notice->payload, "count"), "4") << notice->payload;
    EXPECT_EQ(notice->payload.substr(notice->payload.size() - 18), "\"filtered\":\ttrue\n}") << notice->payload;
    EXPECT_EQ(subscribedLast(*back), tills.rbegin()->first);
    for (auto number = kept; number != tills.end(); ++number) {
        if (number->second != '1') continue;
        const auto message = back->receive();
        ASSERT_TRUE(message);
        EXPECT_EQ(seqOf(message->payload), number->first) << message->payload;
    }
    service_->scan("A-LIVE\r");
    EXPECT_EQ(dataOf(back->receive()->payload), "A-LIVE\\r");
    second.unplug();
    unplugAndExpectCleanExit();
}

// A number the box gave is in the history or told as missed, whatever ended
// the run: a kill just after a scan went out, a stop whose last scans met a
// full disk, a store gone between runs. Such a notice has "lost": true and
// no count; /scans says so in its headers, and tells its last number.
TEST_F(Resume, ScansTheStoreLostAreToldAsMissed) {
    char pattern[] = "/tmp/resume-XXXXXX";
    stateDir_ = mkdtemp(pattern);
    ASSERT_EQ(mount("tmpfs", stateDir_.c_str(), "tmpfs", 0, "size=512k"), 0) << strerror(errno);
    startWithState();
    std::uint64_t before = scanned("KILLED") - 1;  // numbers are consecutive within a run
    kill(service_->pid(), SIGKILL);
    service_->waitForExit();
    expectScanOrLost(before, "KILLED");

    before = scanned("B");
    fill(stateDir_ + "/filler");
    // Until what the store's journal had room for is used up.
    int full = 0;
    ASSERT_TRUE(eventually([&] {
        scanned("FULL" + std::to_string(++full));
        return service_->waitForOutput("scan history: cannot store scans (", 1, 300ms);
    }, 30s)) << service_->out();
    kill(service_->pid(), SIGTERM);
    EXPECT_EQ(service_->waitForExit(), 0);
    EXPECT_TRUE(service_->waitForOutput(" of the last scans; a client that comes back for them is told")) << service_->out();
    unlink((stateDir_ + "/filler").c_str());
    expectScanOrLost(before, "FULL" + std::to_string(full));

    before = scanned("C") - 1;
    unplugAndExpectCleanExit();
    ASSERT_EQ(std::system(("rm " + stateDir_ + "/history.db*").c_str()), 0);
    expectScanOrLost(before, "(none: the store is gone)");
    EXPECT_NE(request("GET", "/scans?since=" + std::to_string(before)).head.find("\r\nX-TirnSerial-Missed: unknown\r\n"),
              std::string::npos);
    const HttpReply ahead = request("GET", "/scans?since=" + std::to_string(before * 2));
    EXPECT_NE((ahead.head + "\r\n").find("\r\nX-TirnSerial-Last: " + statusFigure("last_seq") + "\r\n"),
              std::string::npos) << ahead.head;
    EXPECT_EQ(ahead.head.find("X-TirnSerial-Missed"), std::string::npos) << ahead.head;
    unplugAndExpectCleanExit();

    // Nothing on disk holds numbers up: a start says they follow the clock,
    // and the next start with room knows nothing of the scans meanwhile.
    fill(stateDir_ + "/filler");
    startWithState();
    EXPECT_TRUE(service_->waitForOutput("scan numbers go on from the clock (and go back if it does)")) << service_->out();
    before = scanned("UNSTORED") - 1;
    unplugAndExpectCleanExit();
    unlink((stateDir_ + "/filler").c_str());
    expectScanOrLost(before, "(none: never stored)");
    unplugAndExpectCleanExit();
    umount(stateDir_.c_str());
}

// With a token: /scans wants it as a bearer; /events takes it in the query
// too, and only there; the console never shows it. An event stream resumes
// with Last-Event-ID, each scan one event with its number as id and the
// message on one line.
TEST_F(Resume, EventStreamsAndScansWithAToken) {
    const std::string token = "s3cr3t+t0ken/value=";  // base64's characters, which a browser escapes
    startService({"0", "--end-on", "cr", "--history", "2", "--token-file", secretFile(token), "--log", "all"});
    EXPECT_EQ(request("GET", "/scans").status, 401);
    EXPECT_EQ(request("GET", "/scans?token=" + token).status, 401);
    EXPECT_EQ(request("GET", "/events").status, 401);
    const HttpReply scans = parseReply(WsClient::exchange(
        "GET /scans HTTP/1.1\r\nHost: 127.0.0.1:9010\r\nAuthorization: Bearer " + token + "\r\n\r\n"));
    EXPECT_EQ(scans.status, 200);

    EventReader live(eventsRequest("/events?token=s3cr3t%2Bt0ken%2fvalue%3D"));
    EXPECT_EQ(live.next().rfind("HTTP/1.1 200", 0), 0u);
    // Told at once that it is subscribed, with no id: a browser would
    // resume from it.
    const std::string subscribed = live.nextEvent();
    EXPECT_EQ(subscribed.rfind("event: subscribed\ndata: {\"last\":", 0), 0u) << subscribed;
    EXPECT_EQ(occurrences(subscribed, "\n"), 1) << subscribed;
    for (const char* scan : {"E1\r", "E2\r", "E3\r"}) service_->scan(scan);
    std::string events[3];
    for (auto& event : events) event = live.nextEvent();
    const std::string firstId = events[0].substr(4, events[0].find('\n') - 4);
    EXPECT_EQ(events[0].rfind("id: ", 0), 0u) << events[0];
    EXPECT_EQ(occurrences(events[0], "\n"), 1) << "id and data, the message on one line: " << events[0];
    EXPECT_NE(events[0].find("data: {"), std::string::npos) << events[0];
    EXPECT_NE(events[0].find("\"Data\":\"E1\\r\""), std::string::npos) << events[0];

    EventReader back(eventsRequest("/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: " + firstId + "\r\n"));
    EXPECT_EQ(back.next().rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(back.nextEvent(), "event: subscribed\ndata: {\"last\":" + events[2].substr(4, events[2].find('\n') - 4) + "}");
    EXPECT_EQ(back.nextEvent(), events[1]);
    EXPECT_EQ(back.nextEvent(), events[2]);

    EventReader missed(eventsRequest("/events?since=0&token=" + token));
    missed.next();
    const std::string notice = missed.nextEvent();
    EXPECT_EQ(notice.rfind("event: missed\ndata: {\"type\":\"SCANS_MISSED\",\"count\":1,", 0), 0u) << notice;
    EXPECT_EQ(missed.nextEvent().rfind("event: subscribed\n", 0), 0u);
    EXPECT_EQ(missed.nextEvent(), events[1]);
    EXPECT_EQ(service_->out().find(token), std::string::npos);
    EXPECT_EQ(service_->err().find(token), std::string::npos);
    unplugAndExpectCleanExit();
}

// A client reading its replay slowly while the history lets go of the scans
// it has not read is told how many it lost, then has the rest and the live
// scans that came meanwhile: every number once, or counted.
TEST_F(Resume, ReplayOvertakenByTheHistoryCountsWhatItLost) {
    shrinkSocketBuffers();
    startService({"0", "--end-on", "cr", "--history", "100"});
    const auto scanMany = [this](int count) {
        for (int i = 0; i < count; ++i) service_->scan(std::string(1800, 'X') + "\r");
    };
    scanMany(100);
    ASSERT_TRUE(eventually([&] { return statusFigure("scans_relayed") == "100"; })) << request("GET", "/status").body;
    const std::uint64_t oldest = std::stoull(statusFigure("oldest_seq"));
    auto slow = numbered("/?since=" + std::to_string(oldest - 1));
    const std::uint64_t upTo = subscribedLast(*slow);
    // It reads nothing meanwhile: the history moves past its whole replay.
    scanMany(150);
    ASSERT_TRUE(eventually([&] { return std::stoull(statusFigure("oldest_seq")) > upTo; }));
    std::uint64_t next = oldest;
    while (next <= upTo + 150) {
        const auto message = slow->receive();
        ASSERT_TRUE(message) << next;
        if (member(message->payload, "type") != "\"SCANS_MISSED\"") {
            ASSERT_EQ(seqOf(message->payload), next++) << message->payload;
            continue;
        }
        EXPECT_EQ(member(message->payload, "since"), std::to_string(next - 1));
        next += std::stoull(member(message->payload, "count"));
    }
    // Once at least; more often where the socket takes a little of the
    // replay now and then while the history moves (a slow machine).
    EXPECT_GE(std::stoi(statusFigure("missed_notices")), 1);
    unplugAndExpectCleanExit();
}

// An event stream that reads nothing is dropped once its queue is full,
// as a WebSocket client is, and the service's memory stays bounded.
TEST_F(Resume, EventStreamThatNeverReadsIsDropped) {
    shrinkSocketBuffers();
    startService({"0", "--end-on", "cr"});
    EventReader stuck(eventsRequest("/events"));
    ASSERT_TRUE(eventually([&] { return statusFigure("numbered_clients") == "1"; }));
    [[maybe_unused]] const long before = service_->residentKb();
    const std::string big(3000, 'X');
    for (int i = 0; i < 2000 && statusFigure("too_slow") == "0"; ++i) service_->scan(big + std::to_string(i) + "\r");
    EXPECT_TRUE(eventually([&] { return statusFigure("too_slow") == "1"; }));
    // Every scan typed is in the history before it is counted: the last
    // one typed is the newest kept.
    service_->scan("END\r");
    ASSERT_TRUE(eventually([&] {
        const std::string last = statusFigure("last_seq");
        return request("GET", "/scans?since=" + std::to_string(std::stoull(last) - 1)).body.find("\"END") !=
               std::string::npos;
    }));
    EXPECT_TRUE(eventually([&] { return statusFigure("numbered_clients") == "0"; }));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The history's 1000 scans of 3 KB, twice (plain and numbered), and
    // little more: not what waited for the stream. (Sanitizers keep what
    // was freed.)
    EXPECT_LT(service_->residentKb() - before, 16 * 1024);
#endif
    // Long scans come from /scans 256 KiB at a time; the rest on asking again.
    const HttpReply firstPart = request("GET", "/scans");
    EXPECT_LE(firstPart.body.size(), 256u * 1024);
    const int kept = std::stoi(statusFigure("scans"));
    const int inFirst = occurrences(firstPart.body, "\"seq\"");
    EXPECT_LT(inFirst, kept);
    const std::uint64_t lastGiven = seqOf(firstPart.body.substr(firstPart.body.rfind('{')));
    const HttpReply rest = request("GET", "/scans?since=" + std::to_string(lastGiven));
    EXPECT_EQ(inFirst + occurrences(rest.body, "\"seq\""), kept);
    // A poll from before the oldest kept is told of the scans it missed,
    // however soon its body is cut short.
    const std::uint64_t beforeOldest = std::stoull(statusFigure("oldest_seq")) - 3;
    const std::string missedHead = request("GET", "/scans?since=" + std::to_string(beforeOldest)).head;
    EXPECT_NE(missedHead.find("\r\nX-TirnSerial-Missed: "), std::string::npos) << missedHead;
    // Streams that ask for the whole history and read none of it hold a few
    // of its events each, not a copy of it (a copy each was 100 MB here).
    [[maybe_unused]] const long beforeReplays = service_->residentKb();
    std::vector<std::unique_ptr<EventReader>> replaying;
    for (int i = 0; i < 100; ++i)
        replaying.push_back(std::make_unique<EventReader>(eventsRequest("/events", "Last-Event-ID: 0\r\n")));
    ASSERT_TRUE(eventually([&] { return statusFigure("numbered_clients") == "100"; }));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(service_->residentKb() - beforeReplays, 16 * 1024);
#endif
    unplugAndExpectCleanExit();
}

}  // namespace
