// What a keyboard-mode scanner set to the US layout sends for a text: input
// event records, each key pressed and released with SYN_REPORT after each,
// Shift held for capitals and shifted symbols, "\r" as Enter and "\t" as
// Tab. Characters the layout has no key for are left out.
#pragma once

#include <linux/input.h>

#include <string>
#include <string_view>
#include <vector>

std::vector<input_event> keyRecords(std::string_view text);
// One key event record, or a SYN_REPORT (type EV_SYN).
input_event keyRecord(unsigned short type, unsigned short code, int value);
// Records as the bytes a device's reads return.
std::string recordBytes(const std::vector<input_event>& records);
