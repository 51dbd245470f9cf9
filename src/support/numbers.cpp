#include "support/numbers.h"

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

namespace {

int digit_value(char c, unsigned base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

parsed_number read_number(std::string_view text, unsigned base) {
    parsed_number result;
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        result.negative = text[i] == '-';
        ++i;
    }
    if (base == 16 && i + 1 < text.size() && text[i] == '0' && (text[i + 1] | 0x20) == 'x' &&
        i + 2 < text.size() && digit_value(text[i + 2], 16) >= 0) {
        i += 2;
    }
    while (i < text.size()) {
        const int digit = digit_value(text[i], base);
        if (digit < 0) break;
        result.found = true;
        result.magnitude = result.magnitude * base + static_cast<unsigned>(digit);
        if (result.magnitude > number_saturation) result.magnitude = number_saturation;
        ++i;
    }
    result.end = i;
    return result;
}

std::int32_t read_decimal_saturating(std::string_view text) {
    const parsed_number number = read_number(text, 10);
    if (!number.found) return 0;
    if (number.negative) {
        return number.magnitude >= 2147483648ull ? INT32_MIN
                                                 : -static_cast<std::int32_t>(number.magnitude);
    }
    return number.magnitude > 2147483647ull ? INT32_MAX
                                            : static_cast<std::int32_t>(number.magnitude);
}
