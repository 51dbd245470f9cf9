#include "support/terminal.h"

#include "platform/utf8.h"

namespace {

constexpr char16_t shown_instead = u'?';
// The lone units that stand for the bytes 0x80 to 0x9F of text that was not UTF-8.
constexpr char16_t escaped_c1_first = utf8_byte_escape_base + 0x80;
constexpr char16_t escaped_c1_last = utf8_byte_escape_base + 0x9F;

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool is_control(char16_t unit) {
    if (unit == u'\t' || unit == u'\n') return false;
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) ||
           (unit >= escaped_c1_first && unit <= escaped_c1_last);
}

}  // namespace

wide_string terminal_safe_text(wide_view text) {
    wide_string shown(text);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (is_high_surrogate(shown[i]) && i + 1 < shown.size() && is_low_surrogate(shown[i + 1])) {
            ++i;  // a character outside the BMP, whatever its low half looks like
        } else if (is_control(shown[i])) {
            shown[i] = shown_instead;
        }
    }
    return shown;
}

std::string terminal_safe_bytes(std::string_view bytes) {
    // The conversion keeps every byte that is not UTF-8 as a unit of its own, so the way back
    // gives the very same bytes but for the controls replaced.
    return utf16_to_utf8(terminal_safe_text(utf8_to_utf16(bytes)));
}
