// Key positions into text by a keyboard layout, as the system's keymaps
// (xkeyboard-config, through libxkbcommon) define it: a scanner set to the
// French layout sends the key that types "&" with Shift for "1". Shift,
// Caps Lock, AltGr and Control keep their meaning.
#pragma once

#include <memory>
#include <string>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

class KeyLayout {
public:
    // LAYOUT or LAYOUT(VARIANT), as in "us", "fr", "de" or "fr(bepo)";
    // nothing, and why in `problem`, when the system has no such keymap.
    static std::unique_ptr<KeyLayout> load(const std::string& name, std::string& problem);
    ~KeyLayout();
    KeyLayout(const KeyLayout&) = delete;
    KeyLayout& operator=(const KeyLayout&) = delete;

    // A key pressed or released, by its Linux key code; a press gives the
    // text it types, in UTF-8 ("" for none: Shift, say).
    std::string key(int code, bool pressed);
    // Every key up and no lock on, as after the keyboard was plugged in.
    void reset();

private:
    KeyLayout(xkb_context* context, xkb_keymap* keymap);

    xkb_context* context_;
    xkb_keymap* keymap_;
    xkb_state* state_;
};
