// Reading numbers out of text the gallery or a file handed us, the way the C library's
// formatted input reads them (white space skipped, an optional sign, digits up to the first
// other character), but with a defined result for any length of digits.
#pragma once

#include <cstdint>
#include <string_view>

struct parsed_number {
    bool found = false;           // at least one digit was read
    bool negative = false;        // a minus sign came before the digits
    std::uint64_t magnitude = 0;  // saturates at number_saturation
    std::size_t end = 0;          // position just past the last character read
};

inline constexpr std::uint64_t number_saturation = 0xFFFFFFFFFFFull;

// Base 10, or base 16 with an optional 0x before the digits.
parsed_number read_number(std::string_view text, unsigned base);

// A decimal value clamped to the signed 32-bit range; no digits gives 0.
std::int32_t read_decimal_saturating(std::string_view text);

bool is_c_space(char c);
