// What a keyboard-mode scanner's input device gives, any bytes, through the
// reader's records and the decoder with the US layout, as the keyboard
// source does it: the first byte says how the reads cut the bytes, the
// second how often the device sends them again (up to 64 times, so that
// short inputs reach past the bound). No scan is empty or longer than
// 4 KiB, each is UTF-8, and silence leaves nothing under way.
#include "input_records.h"
#include "key_layout.h"
#include "keyboard_decoder.h"
#include "utf8/utf8.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "keyboard_fuzzer: %s\n", what);
    abort();
}

void check(const std::optional<std::string>& scan) {
    if (!scan) return;
    require(!scan->empty(), "an empty scan");
    require(scan->size() <= KeyboardDecoder::kMaxScanBytes, "a scan over its bound");
    require(isValidUtf8(scan->data(), scan->size()), "a scan that is not UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static std::unique_ptr<KeyLayout> layout = [] {
        std::string problem;
        auto loaded = KeyLayout::load("us", problem);
        require(loaded != nullptr, "no US keymap");
        return loaded;
    }();
    layout->reset();
    KeyboardDecoder decoder(*layout, "cp437");
    InputRecords records;
    const std::size_t readSize = data[0] % (64 * sizeof(input_event)) + 1;
    const int sendings = data[1] % 64 + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const std::size_t length = size - 2;
    for (int sending = 0; sending < sendings; ++sending)
        for (std::size_t at = 0; at < length; at += readSize)
            for (const input_event& record : records.take(bytes + at, std::min(readSize, length - at))) {
                check(decoder.take(record));
                decoder.takeLoss();
            }
    check(decoder.endAtSilence());
    require(!decoder.typing(), "a scan under way after the silence");
    return 0;
}
