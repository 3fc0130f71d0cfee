// What a numbered client learns of a scan beside its "Data": its scanner's
// name, the symbology, the text and the GS1 data, for every case of the
// shared table (GS1's own examples and the edge cases) typed by scanners
// set as the table says.
#include "build_paths.h"
#include "gs1_cases.h"
#include "service_test.h"

#include <cjson/cJSON.h>

#include <map>

namespace {

std::string member(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "-";
}

// The message's GS1 members as the table writes them: "-", "!reason" or
// "AI=value ..." in the order the message has them.
std::string gs1Of(const cJSON* message) {
    if (cJSON_HasObjectItem(message, "gs1_error")) return "!" + member(message, "gs1_error");
    const cJSON* gs1 = cJSON_GetObjectItemCaseSensitive(message, "gs1");
    if (gs1 == nullptr) return "-";
    std::string pairs;
    for (const cJSON* field = gs1->child; field != nullptr; field = field->next)
        pairs += (pairs.empty() ? "" : " ") + std::string(field->string) + "=" + field->valuestring;
    return pairs;
}

}  // namespace

class ScanContent : public ServiceTest {};

TEST_F(ScanContent, EveryCaseOfTheTableReachesNumberedClients) {
    const std::vector<Gs1Case> cases = readGs1Cases(std::string(kSourceDir) + "/tests/data/gs1_cases.tsv");
    ASSERT_GT(cases.size(), 60u);
    VirtualScanner aim("/dev/ttyUSB1"), gs1("/dev/ttyUSB2"), both("/dev/ttyUSB3");
    startService({"0", "--device", "/dev/ttyUSB0,name=plain", "--device", "/dev/ttyUSB1,aim,name=aim", "--device",
                  "/dev/ttyUSB2,gs1,name=gs1", "--device", "/dev/ttyUSB3,name=both,gs1,aim"});
    const std::map<std::string, std::pair<std::string, VirtualScanner*>> scanners = {
        {"-", {"plain", nullptr}}, {"aim", {"aim", &aim}}, {"gs1", {"gs1", &gs1}}, {"aim,gs1", {"both", &both}}};
    WsEndpoint endpoint = kServiceEndpoint;
    endpoint.target = "/?since=now";
    auto client = WsClient::connect(endpoint);
    ASSERT_TRUE(client);
    client->sendText("hello");
    const auto subscribed = client->receive();
    ASSERT_TRUE(subscribed && subscribed->payload.find("SUBSCRIBED") != std::string::npos);
    for (const Gs1Case& scan : cases) {
        SCOPED_TRACE(scan.note + ": " + scan.scanner + " " + scan.scan);
        const auto& [name, scanner] = scanners.at(scan.scanner);
        if (scanner != nullptr)
            ASSERT_TRUE(scanner->type(scan.scan));
        else
            service_->scan(scan.scan);
        const auto message = client->receive();
        ASSERT_TRUE(message);
        cJSON* json = cJSON_Parse(message->payload.c_str());
        ASSERT_TRUE(json) << message->payload;
        EXPECT_EQ(member(json, "Data"), scan.scan) << "Data is never changed";
        EXPECT_EQ(member(json, "scanner"), name);
        const cJSON* symbology = cJSON_GetObjectItemCaseSensitive(json, "symbology");
        EXPECT_EQ(symbology ? member(symbology, "id") : "-", scan.id) << message->payload;
        const bool sendsIdentifiers = scan.scanner.find("aim") != std::string::npos;
        EXPECT_EQ(member(json, "text"), sendsIdentifiers ? scan.text : "-") << message->payload;
        EXPECT_EQ(gs1Of(json), scan.gs1) << message->payload;
        cJSON_Delete(json);
    }
    // A scan its charset cut short (--invalid stop) holds only part of its
    // GS1 data: an error, never that part as if it were the whole.
    ASSERT_TRUE(both.type("]d20109506000134352\x1d" "10AB\xff" "123\r"));
    const auto cut = client->receive();
    ASSERT_TRUE(cut);
    EXPECT_NE(cut->payload.find("\"gs1_error\":\t\"the scan was cut short\""), std::string::npos) << cut->payload;
}
