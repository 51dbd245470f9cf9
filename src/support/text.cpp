#include "support/text.h"

#include <cstring>

wide_string to_wide(std::string_view narrow) { return narrow_to_wide(narrow); }

std::string_view text_before_zero(const char* bytes, std::size_t length) {
    const void* zero = std::memchr(bytes, 0, length);
    return {bytes, zero == nullptr
                       ? length
                       : static_cast<std::size_t>(static_cast<const char*>(zero) - bytes)};
}
