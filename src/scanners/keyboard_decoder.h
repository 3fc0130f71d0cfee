// What a keyboard-mode scanner types, from its key events: the text of each
// scan. Enter ends a scan and stays in it as "\r", Tab as "\t", as a serial
// scanner's suffix would; the silence after a scan without either ends it
// too (the source times that). Autorepeat is no typing. A scanner in "Alt
// mode" holds the left Alt key and types a character's decimal number on
// the keypad: with a leading 0 in Windows-1252, otherwise in the OEM code
// page given (cp437 by default).
#pragma once

#include "key_layout.h"

#include <linux/input.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

class KeyboardDecoder {
public:
    // A scan this long ends there, as a serial scanner's does at a full
    // buffer, and the keys after it begin the next: a device that never
    // pauses cannot grow the service's memory.
    static constexpr std::size_t kMaxScanBytes = 4096;

    KeyboardDecoder(KeyLayout& layout, std::string altCodepage);

    // One event record; a scan that its key ends, in UTF-8.
    std::optional<std::string> take(const input_event& event);
    // The scan under way, ended by silence; nothing when none is.
    std::optional<std::string> endAtSilence();
    // Whether a scan has been lost to events the kernel dropped (the reader
    // fell behind: SYN_DROPPED) since the last call.
    bool takeLoss();
    // Whether a scan is under way.
    bool typing() const { return !text_.empty() || spoiled_; }

private:
    std::optional<std::string> press(int code);
    std::optional<std::string> endAltCode();
    std::optional<std::string> addTyped(const std::string& typed, bool endsScan = false);
    const std::string& altCharacter(bool windows, unsigned char number);
    std::optional<std::string> finish();

    KeyLayout& layout_;
    const std::string altCodepage_;
    std::string text_;
    bool altHeld_ = false;
    std::string altDigits_;
    // Each code page's characters, converted when first typed: a scanner
    // in Alt mode types every character so.
    std::array<std::optional<std::string>, 256> windowsCharacters_, oemCharacters_;
    bool dropping_ = false;  // events up to the next SYN_REPORT are lost
    bool spoiled_ = false;   // the scan under way lost events
    bool lost_ = false;
};
