// The gallery's text as a terminal may show it: every control character but tab and line feed
// becomes "?", so a gallery cannot retitle, recolour or clear the user's terminal or hide text on
// it. Only for a stream that is a terminal: a pipe or a file gets every byte unchanged.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

// C0 controls other than tab and line feed, DEL, C1 controls, and the lone units that stand for
// bytes 0x80 to 0x9F of text that was not UTF-8, each become one "?".
wide_string terminal_safe_text(wide_view text);

// The same for raw bytes read as UTF-8: a C1 control counts whether it came as its two-byte
// sequence or as a lone byte. Every other byte stays as it is.
std::string terminal_safe_bytes(std::string_view bytes);
