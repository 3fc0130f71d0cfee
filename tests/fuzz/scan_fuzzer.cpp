// Scanner bytes of any length, in every mode, through the conversion and
// the scan message, as the relay loop does it: the message must be well
// formed and carry exactly the converted text up to its first zero byte.
// With invalid bytes replaced, the text is also whole UTF-8 in modes 0 and 2
// (and holds no more than the scan can give), whatever came in.
#include "serial_scan_source.h"
#include "text/charset.h"
#include "text/scan_message.h"
#include "utf8/utf8.h"

#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "scan_fuzzer: %s\n", what);
    abort();
}

const std::string kHead = "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"size\":\t";
const std::string kTail = "\"\n}";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!freopen("/dev/null", "w", stdout)) abort();  // the progress lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    SelectEncoding = data[0] % 3;
    const bool replacing = (data[0] & 0x10) != 0;
    static const char* const scannerCharsets[] = {"", "utf-8", "shift_jis", "big5"};
    const ScanCharsets charsets{scannerCharsets[(data[0] >> 2) & 3],
                                replacing ? InvalidBytes::Replace : InvalidBytes::Stop};
    static RelayBuffers buffers;
    buffers.wipe();
    const std::size_t length = std::min(size - 1, kBurstBufferSize - 1);
    memcpy(buffers.burst, data + 1, length);

    convertScan(charsets, buffers.burst, length + 1, buffers.converted, sizeof buffers.converted - 1);
    require(buffers.converted[sizeof buffers.converted - 1] == 0, "the converted text has no end");
    const std::string text(buffers.converted);
    if (replacing && SelectEncoding != 1) {
        require(isValidUtf8(text.data(), text.size()), "replaced text is not UTF-8");
        require(text.size() <= 3 * length + 3, "more text than the scan can give");  // U+FFFD per byte at most
    }
    const std::string message = enJsonFormat(text.size(), text);

    require(message.compare(0, kHead.size(), kHead) == 0, "the message does not start right");
    require(message.size() >= kHead.size() + kTail.size() &&
                message.compare(message.size() - kTail.size(), kTail.size(), kTail) == 0,
            "the message does not end right");
    cJSON* parsed = cJSON_ParseWithLength(message.data(), message.size());
    require(parsed != nullptr, "the message is not JSON");
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(parsed, "type");
    const cJSON* count = cJSON_GetObjectItemCaseSensitive(parsed, "size");
    const cJSON* scan = cJSON_GetObjectItemCaseSensitive(parsed, "Data");
    require(cJSON_GetArraySize(parsed) == 3, "the message has other members");
    require(cJSON_IsString(type) && strcmp(type->valuestring, "BARCODE_GUN") == 0, "wrong type");
    require(cJSON_IsNumber(count) && count->valuedouble == static_cast<double>(text.size()), "wrong size");
    require(cJSON_IsString(scan) && text == scan->valuestring, "Data is not the converted text");
    cJSON_Delete(parsed);
    return 0;
}
