// The service's own web face through the real binary: the page, /status,
// /metrics, plain HTTP errors, allowed origins, the access token.
#include "http_reply.h"
#include "service_test.h"
#include "ws_framing.h"

#include <cjson/cJSON.h>
#include <ctime>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace {

// name{labels} -> value, from the exposition format.
std::map<std::string, double> samples(const std::string& metrics) {
    std::map<std::string, double> values;
    std::size_t start = 0;
    for (std::size_t end; (end = metrics.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = metrics.substr(start, end - start);
        const auto blank = line.rfind(' ');
        if (line.empty() || line[0] == '#' || blank == std::string::npos) continue;
        values[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
    }
    return values;
}

using WebFace = ServiceTest;

TEST_F(WebFace, StatusAndMetricsCountWhatHappened) {
    startService({"0", "--device", "/dev/ttyUSB0,name=till-1,aim"});
    auto twice = subscriber(2);
    auto once = subscriber();
    for (const std::string scan : {"ABC123", "\xD6\xD0\xCE\xC4"}) {
        service_->scan(scan);
        ASSERT_TRUE(once->receive());
        std::this_thread::sleep_for(50ms);
    }
    auto invalid = WsClient::connect();
    invalid->sendText("\xff");
    EXPECT_TRUE(invalid->waitClosed());
    invalid.reset();
    ASSERT_TRUE(service_->waitForOutput("Reg test: called connection close (TLS: 0)..\ng_conn over!\n"));

    const std::string printedBefore = service_->out();
    const HttpReply status = request("GET", "/status");
    ASSERT_EQ(status.status, 200) << status.head;
    EXPECT_NE(status.head.find("Content-Type: application/json"), std::string::npos);
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    ASSERT_TRUE(json) << status.body;
    for (const auto& [name, value] : {std::pair{"mode", 0}, {"scans_relayed", 2}, {"bytes_read", 10},
                                      {"clients_connected", 2}, {"subscriptions", 3}, {"scan_gap_ms", 30}})
        EXPECT_EQ(cJSON_GetObjectItem(json.get(), name)->valuedouble, value) << name;
    EXPECT_STREQ(cJSON_GetObjectItem(json.get(), "device")->valuestring, "/dev/ttyUSB0");
    EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItem(json.get(), "last_scan")));
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(json.get(), "tls")));
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(json.get(), "clients_dropped"), "invalid")->valuedouble, 1);
    // The scanner as the shop named it beside the path and the kernel's name.
    const cJSON* scanner = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "devices"), 0);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(scanner, "path")), "/dev/ttyUSB0");
    EXPECT_STRNE(cJSON_GetStringValue(cJSON_GetObjectItem(scanner, "name")), "till-1");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(scanner, "scanner")), "till-1");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(scanner, "aim")));
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(scanner, "gs1")));

    const HttpReply metrics = request("GET", "/metrics");
    ASSERT_EQ(metrics.status, 200);
    auto values = samples(metrics.body);
    for (const auto& [name, value] : {std::pair{"scans_relayed_total", 2}, {"scan_read_bytes_total", 10},
                                      {"clients_connected", 2}, {"subscriptions", 3},
                                      {"clients_dropped_total{reason=\"invalid\"}", 1}})
        EXPECT_EQ(values[std::string("tirnserial_") + name], value) << name;
    EXPECT_EQ(values["tirnserial_build_info{version=\"" TIRN_VERSION "\",mode=\"0\",device=\"/dev/ttyUSB0\",charset=\"gb2312\","
                     "invalid_bytes=\"stop\"}"], 1);
    EXPECT_GT(values["tirnserial_last_scan_timestamp_seconds"], 1.7e9);
    EXPECT_NEAR(values["tirnserial_start_time_seconds"], static_cast<double>(std::time(nullptr)), 300);
    EXPECT_EQ(values["tirnserial_scanner_connected{device=\"/dev/ttyUSB0\",kind=\"serial\",scanner=\"till-1\"}"], 1)
        << metrics.body;
    for (const char* counter : {"scans_relayed_total", "clients_dropped_total"})
        EXPECT_NE(metrics.body.find(std::string("# TYPE tirnserial_") + counter + " counter"), std::string::npos);
    EXPECT_EQ(service_->out(), printedBefore) << "HTTP requests print nothing";
    unplugAndExpectCleanExit();
}

// A scan whose text ends early (--invalid stop, the default) goes out as
// it always has, but is counted and said, once a minute at most: a
// Latin-1 byte and a character cut off at the end, in GB2312.
TEST_F(WebFace, ScansCutShortAreCountedAndSaid) {
    startService();
    auto client = subscriber();
    for (const auto& [scan, data] : {std::pair<std::string, std::string>{"CAF\xC9-123", "CAF"}, {"AB\xD6", "AB"},
                                     {"ABC", "ABC"}}) {
        service_->scan(scan);
        expectNextMessage(*client, scanMessage(data));
    }
    const std::string said = "scan from /dev/ttyUSB0 cut short at byte 3: bytes its charset rejects, or a character "
                             "cut off at the end; see --invalid replace and --charset\n";
    EXPECT_TRUE(service_->waitForOutput(said)) << service_->out();
    const HttpReply status = request("GET", "/status");
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    ASSERT_TRUE(json) << status.body;
    for (const auto& [name, value] :
         {std::pair{"scans_relayed", 3}, {"scans_cut_short", 2}, {"scans_with_replaced_bytes", 0}})
        EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(json.get(), name)), value) << name << status.body;
    auto values = samples(request("GET", "/metrics").body);
    EXPECT_EQ(values["tirnserial_scans_cut_short_total"], 2);
    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->countInOutput(" cut short at byte "), 1) << service_->out();
}

TEST_F(WebFace, PlainHttpIsAnswered) {
    startService();
    const HttpReply page = request("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
    EXPECT_NE(page.body.find("<script src=\"app.js\""), std::string::npos);
    EXPECT_EQ(request("GET", "/app.js").status, 200);
    // The library and its types: any origin may fetch them, and a browser
    // (or editor) that has them asks again without fetching them again.
    for (const auto& [path, type, content] :
         {std::tuple{"/tirnserial.js", "text/javascript", "export class TirnSerial"},
          {"/tirnserial.d.ts", "application/typescript", "export declare class TirnSerial"}}) {
        const HttpReply library = request("GET", path);
        EXPECT_EQ(library.status, 200) << path;
        EXPECT_NE(library.head.find(std::string("Content-Type: ") + type + "; charset=utf-8"), std::string::npos)
            << library.head;
        EXPECT_NE(library.head.find("Access-Control-Allow-Origin: *"), std::string::npos) << library.head;
        EXPECT_NE(library.body.find(content), std::string::npos) << path;
        EXPECT_NE(request("HEAD", path).head.find("Content-Length: " + std::to_string(library.body.size())),
                  std::string::npos) << path;
        const auto tagAt = library.head.find("ETag: ");
        ASSERT_NE(tagAt, std::string::npos) << library.head;
        const std::string tag = library.head.substr(tagAt + 6, library.head.find('\r', tagAt) - tagAt - 6);
        const HttpReply kept = parseReply(
            WsClient::exchange(std::string("GET ") + path + " HTTP/1.1\r\nIf-None-Match: " + tag + "\r\n\r\n"));
        EXPECT_EQ(kept.status, 304) << kept.head;
        EXPECT_EQ(kept.body, "");
    }
    const std::string upgraded = WsClient::exchange(clientHandshake(""), kServiceEndpoint, 1s);
    EXPECT_EQ(upgraded.rfind("HTTP/1.1 101", 0), 0u) << upgraded;
    EXPECT_NE(upgraded.find("\r\nServer: TirnSerial\r\n"), std::string::npos) << upgraded;
    EXPECT_EQ(upgraded.find("Beast"), std::string::npos) << upgraded;
    const HttpReply head = request("HEAD", "/");
    EXPECT_EQ(head.body, "");
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(page.body.size())), std::string::npos) << head.head;
    const HttpReply absolute = parseReply(WsClient::exchange("GET http://127.0.0.1:9010/status HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(absolute.status, 200);
    EXPECT_EQ(absolute.body.rfind("{", 0), 0u) << absolute.body;
    EXPECT_EQ(request("GET", "/nothing-here").status, 404);
    EXPECT_EQ(request("POST", "/status").status, 405);
    EXPECT_EQ(parseReply(WsClient::exchange("NOT HTTP AT ALL\r\n\r\n")).status, 400);
    const std::string huge = "GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'x') + "\r\n\r\n";
    EXPECT_EQ(parseReply(WsClient::exchange(huge)).status, 400);
    unplugAndExpectCleanExit();
}

TEST_F(WebFace, OnlyAllowedOriginsSubscribe) {
    startService({"0", "--bind", "127.0.0.1", "--allow-origin", "https://pos.example:8443"});
    auto handshakeWith = [](const char* origin) {
        return WsClient::connect(WsEndpoint{9010, "127.0.0.1", origin});
    };
    const std::string refused = WsClient::exchange(clientHandshake("Origin: https://evil.example\r\n"));
    EXPECT_EQ(parseReply(refused).status, 403);
    EXPECT_TRUE(service_->waitForOutput(
        "refused a WebSocket client from origin https://evil.example: not allowed by --allow-origin\n"));
    auto listed = handshakeWith("Origin: https://POS.example:8443\r\n");
    auto ownPage = handshakeWith("Origin: http://127.0.0.1\r\n");  // the Host the page was served as
    auto noBrowser = handshakeWith("");
    for (auto* client : {listed.get(), ownPage.get(), noBrowser.get()}) {
        ASSERT_TRUE(client);
        client->sendText("hello");
    }
    ASSERT_TRUE(service_->waitForOutput("g_conn  get!", 3));
    EXPECT_EQ(service_->countInOutput("new conn id"), 3);

    // DNS rebinding: a page whose own name was made to resolve to this box
    // is no page of this service, and reads neither scans nor figures.
    const std::string rebound = WsClient::exchange(
        clientHandshake("Host: rebind.attacker.example:9010\r\nOrigin: http://rebind.attacker.example:9010\r\n"));
    EXPECT_EQ(parseReply(rebound).status, 403) << rebound;
    EXPECT_TRUE(service_->waitForOutput("refused a WebSocket client for host rebind.attacker.example:9010: not a name "
                                        "of this service (see --server-name)\n"));
    for (const char* figures : {"GET /status HTTP/1.1\r\nHost: rebind.attacker.example:9010\r\n\r\n",
                                "GET http://rebind.attacker.example:9010/status HTTP/1.1\r\nHost: 127.0.0.1:9010\r\n\r\n"})
        EXPECT_EQ(parseReply(WsClient::exchange(figures)).status, 403) << figures;

    // What a page reads with fetch or EventSource: refused alike, and the
    // origin let in is named (a preflight first, for a Bearer header).
    const auto asked = [](const std::string& method, const std::string& path, const std::string& origin) {
        return parseReply(WsClient::exchange(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:9010\r\nOrigin: " +
                                             origin + "\r\n\r\n", kServiceEndpoint, 1s));
    };
    for (const char* path : {"/scans", "/events"}) {
        EXPECT_EQ(asked("GET", path, "https://evil.example").status, 403) << path;
        EXPECT_EQ(asked("OPTIONS", path, "https://evil.example").status, 403) << path;
        const HttpReply preflight = asked("OPTIONS", path, "https://pos.example:8443");
        EXPECT_EQ(preflight.status, 204) << path;
        for (const char* field : {"Access-Control-Allow-Origin: https://pos.example:8443\r\n", "Vary: Origin\r\n",
                                  "Access-Control-Allow-Headers: Authorization, Last-Event-ID\r\n"})
            EXPECT_NE(preflight.head.find(field), std::string::npos) << path << preflight.head;
    }
    const HttpReply scans = asked("GET", "/scans?since=0", "https://pos.example:8443");
    EXPECT_EQ(scans.status, 200);
    EXPECT_NE(scans.head.find("Access-Control-Expose-Headers: X-TirnSerial-Last, X-TirnSerial-Missed"),
              std::string::npos) << scans.head;
    EXPECT_EQ(asked("OPTIONS", "/status", "https://pos.example:8443").status, 405);
    unplugAndExpectCleanExit();
}

// With a token, only a message that is the token subscribes; anything else
// closes the client, and the figures take the token too.
TEST_F(WebFace, AccessTokenGuardsScansAndFigures) {
    const std::string tokenFile = secretFile("s3cret-token\n", 0644), emptyFile = secretFile("\n");
    ServiceProcess empty({"0", "--token-file", emptyFile});
    EXPECT_EQ(empty.waitForExit(), 2);
    EXPECT_EQ(empty.err(), "TirnSerial: the token file " + emptyFile + " has no token on its first line\n");
    startService({"0", "--token-file", tokenFile});
    EXPECT_TRUE(service_->waitForError("warning: other users can read the token file " + tokenFile));

    auto member = WsClient::connect();
    auto stranger = WsClient::connect();
    ASSERT_TRUE(member && stranger);
    member->sendText("s3cret-token");
    member->sendBinary("s3cret-token");
    ASSERT_TRUE(service_->waitForOutput("g_conn  get!", 2));
    stranger->sendText("s3cret-tokex");
    EXPECT_TRUE(stranger->waitClosed());
    EXPECT_EQ(stranger->closeCode(), 1008);
    EXPECT_TRUE(service_->waitForOutput("its message was not the access token (--token-file)\n"));
    expectScanReaches(*member, "MEMBERS-ONLY");
    expectNextMessage(*member, scanMessage("MEMBERS-ONLY"));
    EXPECT_EQ(service_->countInOutput("debug:(the access token) \n"), 2);
    EXPECT_EQ(service_->out().find("s3cret"), std::string::npos) << "the token or a guess was printed";

    auto get = [](const std::string& path, const std::string& headers) {
        return parseReply(WsClient::exchange("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n"));
    };
    const HttpReply refused = get("/status", "");
    EXPECT_EQ(refused.status, 401);
    EXPECT_NE(refused.head.find("WWW-Authenticate: Bearer"), std::string::npos) << refused.head;
    EXPECT_EQ(get("/metrics", "Authorization: Bearer s3cret-tokex\r\n").status, 401);
    EXPECT_EQ(get("/", "").status, 200);
    const HttpReply status = get("/status", "Authorization: Bearer s3cret-token\r\n");
    ASSERT_EQ(status.status, 200);
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    ASSERT_TRUE(json);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(json.get(), "clients_dropped"), "unauthorized")->valuedouble, 1);
    unplugAndExpectCleanExit();
}

}  // namespace
