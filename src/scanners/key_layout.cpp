#include "key_layout.h"
#include "scanners/keyboard_settings.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>

namespace {

// xkbcommon numbers keys as X does: the Linux key code plus 8.
constexpr int kXkbKeycodeOffset = 8;

}  // namespace

std::unique_ptr<KeyLayout> KeyLayout::load(const std::string& name, std::string& problem) {
    std::string layout = name, variant;
    const auto open = name.find('(');
    if (open != std::string::npos && name.back() == ')') {
        layout = name.substr(0, open);
        variant = name.substr(open + 1, name.size() - open - 2);
    }
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (context == nullptr) {
        problem = "libxkbcommon cannot start";
        return nullptr;
    }
    xkb_context_set_log_level(context, XKB_LOG_LEVEL_CRITICAL);
    const xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), ""};
    xkb_keymap* keymap = layout.empty() ? nullptr : xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap == nullptr) {
        xkb_context_unref(context);
        problem = "the system has no keyboard layout '" + name + "' (xkb-data's layouts: us, fr, de, ...)";
        return nullptr;
    }
    return std::unique_ptr<KeyLayout>(new KeyLayout(context, keymap));
}

KeyLayout::KeyLayout(xkb_context* context, xkb_keymap* keymap)
    : context_(context), keymap_(keymap), state_(xkb_state_new(keymap)) {}

KeyLayout::~KeyLayout() {
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

std::string KeyLayout::key(int code, bool pressed) {
    const xkb_keycode_t keycode = static_cast<xkb_keycode_t>(code + kXkbKeycodeOffset);
    std::string text;
    // The text is what the key types with the modifiers held before it.
    if (pressed) {
        char utf8[64];
        const int length = xkb_state_key_get_utf8(state_, keycode, utf8, sizeof utf8);
        if (length > 0) text.assign(utf8, static_cast<std::size_t>(std::min<int>(length, sizeof utf8 - 1)));
    }
    xkb_state_update_key(state_, keycode, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    return text;
}

void KeyLayout::reset() {
    xkb_state_unref(state_);
    state_ = xkb_state_new(keymap_);
}

bool keyboardLayoutKnown(const std::string& layout, std::string& problem) {
    return KeyLayout::load(layout, problem) != nullptr;
}
