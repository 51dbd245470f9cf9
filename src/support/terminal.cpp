#include "support/terminal.h"

#include "platform/utf8.h"

namespace {

constexpr char16_t shown_instead = u'?';
// A byte that is not part of valid UTF-8 travels as the lone unit 0xDC00 + byte.
constexpr char16_t escaped_c1_first = 0xDC80;
constexpr char16_t escaped_c1_last = 0xDC9F;

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
