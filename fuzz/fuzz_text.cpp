// Text conversion and bounded formatting. The bytes are a narrow text (a file name, a head
// line): to UTF-16 and back gives them again exactly. The same bytes read as UTF-16 units are a
// file name in the index line, formatted into buffers exactly one unit too small and exactly big
// enough.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fed_socket.h"
#include "platform/utf8.h"
#include "support/format.h"
#include "support/text.h"

namespace {

constexpr char16_t index_line_template[] = u"%9.9d:%s\n";

// No lone surrogate: every high unit has a low one after it and every low one a high before it.
bool is_well_formed(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

void check_conversion(std::string_view bytes) {
    const std::u16string wide = utf8_to_utf16(bytes);
    require(utf16_to_utf8(wide) == bytes, "the bytes do not survive UTF-16 and back");
    require(to_wide(bytes) == wide, "to_wide differs from the UTF-8 conversion");
}

void check_units(std::u16string_view units) {
    // Well-formed UTF-16 survives UTF-8 and back.
    if (is_well_formed(units)) {
        require(utf8_to_utf16(utf16_to_utf8(units)) == units,
                "well-formed UTF-16 does not survive UTF-8 and back");
    }
}

// Formats into a buffer of exactly `capacity` units of its own, so a unit written past it is
// caught, and returns what it holds up to the terminator's place.
std::u16string format_into(std::size_t capacity, std::int32_t index, std::u16string_view name,
                           std::size_t& needed) {
    const std::unique_ptr<char16_t[]> buffer(new char16_t[capacity]);
    needed = format_wide(buffer.get(), capacity, index_line_template, {index, name});
    const std::size_t kept = needed < capacity ? needed : capacity - 1;
    require(buffer[kept] == u'\0', "no terminator after the formatted text");
    return std::u16string(buffer.get(), kept);
}

void check_index_line(std::int32_t index, std::u16string_view name) {
    // The line as the C library writes the number, the name copied unit for unit.
    char number[32];
    const int digits = std::snprintf(number, sizeof number, "%9.9d:", index);
    std::u16string expected(number, number + digits);
    expected.append(name);
    expected.push_back(u'\n');

    require(format_wide(nullptr, 0, index_line_template, {index, name}) == expected.size(),
            "a capacity of 0 gives another needed count");
    std::size_t needed = 0;
    const std::u16string whole = format_into(expected.size() + 1, index, name, needed);
    require(needed == expected.size(), "the needed count is wrong");
    require(whole == expected, "the index line is formatted wrongly");
    const std::u16string cut = format_into(expected.size(), index, name, needed);
    require(needed == expected.size(), "a cut line gives another needed count");
    require(cut == std::u16string_view(expected).substr(0, expected.size() - 1),
            "a cut line is not the start of the whole one");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_conversion(std::string_view(reinterpret_cast<const char*>(data), size));

    // The first four bytes are the index, the rest the name's units.
    std::int32_t index = 0;
    std::size_t skip = 0;
    if (size >= sizeof index) {
        std::memcpy(&index, data, sizeof index);
        skip = sizeof index;
    }
    std::u16string units((size - skip) / 2, u'\0');
    std::memcpy(units.data(), data + skip, units.size() * 2);
    check_units(units);
    check_index_line(index, units);
    return 0;
}
