// Bounded formatting of the system's printf-style templates ("%9.9d:%s\n", "Host: %s\r\n", ...)
// into a caller's buffer of narrow or wide units. Only the conversions the system uses exist:
// %s, %d and %u with an optional width and precision, and %%. It never writes past the capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/platform.h"

template <class Ch>
struct format_arg {
    std::basic_string_view<Ch> text{};
    std::int64_t number = 0;
    bool is_text = false;

    format_arg(std::basic_string_view<Ch> value) : text(value), is_text(true) {}
    format_arg(const Ch* value) : text(value), is_text(true) {}
    format_arg(const std::basic_string<Ch>& value) : text(value), is_text(true) {}
    format_arg(std::int32_t value) : number(value) {}
    format_arg(std::uint32_t value) : number(value) {}
};

// Formats into `buffer` of `capacity` units, the terminating zero included (nothing is written
// when the capacity is 0). A %d takes its number as a signed 32-bit value and %u as an unsigned
// one, as the C library would. Returns the number of units the whole output needs, without the
// terminator; the output was cut when that is not below the capacity.
template <class Ch>
std::size_t format_text(Ch* buffer, std::size_t capacity, std::basic_string_view<Ch> format,
                        std::initializer_list<format_arg<Ch>> args);

inline std::size_t format_wide(char16_t* buffer, std::size_t capacity, wide_view format,
                               std::initializer_list<format_arg<char16_t>> args) {
    return format_text<char16_t>(buffer, capacity, format, args);
}

inline std::size_t format_narrow(char* buffer, std::size_t capacity, std::string_view format,
                                 std::initializer_list<format_arg<char>> args) {
    return format_text<char>(buffer, capacity, format, args);
}
