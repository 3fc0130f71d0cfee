// How a keyboard-mode scanner's keys become text.
#pragma once

#include <string>

struct KeyboardSettings {
    std::string layout = "us";       // --keymap
    std::string altCodepage = "cp437";  // --alt-codepage
};

// Whether the system's keymaps know this layout; if not, why not.
bool keyboardLayoutKnown(const std::string& layout, std::string& problem);
