#include "archive.h"

#include <algorithm>

namespace gallery {
namespace {

constexpr std::u16string_view version_line = u"2.0";
constexpr std::u16string_view code_letters = u"LGIBZEKH";
constexpr std::size_t max_codes = 20;
constexpr std::size_t max_flag_characters = 10;
constexpr std::size_t size_digits = 9;

// Version, codes and flag lines are short; a longer one is already wrong, and failing then keeps
// a body without any LF from piling up in memory.
constexpr std::size_t max_leading_line_units = 2 * max_flag_characters;
constexpr std::size_t index_first_line = 3;

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool is_space_or_control(char32_t c) {
    if (c <= 0x20 || (c >= 0x7F && c <= 0xA0)) return true;
    if (c >= 0x2000 && c <= 0x200A) return true;
    return c == 0x1680 || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

void fail(head_reader& reader, std::string reason) {
    reader.state = head_state::failed;
    reader.reason = std::move(reason);
}

bool is_flag_word(std::u16string_view line) {
    if (!is_valid_utf16(line)) return false;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char32_t c = line[i];
        if (is_high_surrogate(line[i])) {
            c = 0x10000 + ((char32_t(line[i]) - 0xD800) << 10) + (char32_t(line[i + 1]) - 0xDC00);
            ++i;
        }
        if (is_space_or_control(c)) return false;
        ++characters;
    }
    return characters >= 1 && characters <= max_flag_characters;
}

void take_index_line(head_reader& reader) {
    const std::u16string& line = reader.line;
    archive_head& head = reader.head;
    const std::string where = "index line " + std::to_string(head.files.size() + 1) + ": ";
    if (line.size() < size_digits ||
        !std::all_of(line.begin(), line.begin() + size_digits,
                     [](char16_t unit) { return unit >= u'0' && unit <= u'9'; })) {
        return fail(reader, where + "the size is not nine decimal digits");
    }
    if (line.size() == size_digits || line[size_digits] != u':') {
        return fail(reader, where + "no colon after the nine-digit size");
    }
    std::u16string_view name = std::u16string_view(line).substr(size_digits + 1);
    if (name.empty()) return fail(reader, where + "the file name is empty");
    if (!is_valid_utf16(name)) return fail(reader, where + "the file name is not valid UTF-16");

    std::uint32_t size = 0;
    for (std::size_t i = 0; i < size_digits; ++i) size = size * 10 + (line[i] - u'0');

    if (!within_limit(head.files.size() + 1, reader.limits.files)) {
        return fail(reader, "more than " + std::to_string(reader.limits.files) +
                                " files, the most one upload may hold");
    }
    if (!within_limit(size, reader.limits.file_bytes)) {
        return fail(reader, where + "the file is " + std::to_string(size) +
                                " bytes, over the limit of " +
                                std::to_string(reader.limits.file_bytes));
    }
    head.files.push_back({size, std::u16string(name)});
    head.data_bytes += size;
}

void take_line(head_reader& reader) {
    std::u16string_view line = reader.line;
    switch (reader.line_number) {
        case 0:
            if (line != version_line) return fail(reader, "the version line is not 2.0");
            break;
        case 1:
            if (line.empty() || line.size() > max_codes ||
                line.find_first_not_of(code_letters) != std::u16string_view::npos) {
                return fail(reader, "the codes line is not 1 to 20 letters from LGIBZEKH");
            }
            reader.head.codes = line;
            break;
        case 2:
            if (!is_flag_word(line)) {
                return fail(reader, "the flag line is not one word of 1 to 10 characters");
            }
            reader.head.flag = line;
            break;
        default:
            if (line.empty()) {
                reader.state = head_state::complete;
                return;
            }
            take_index_line(reader);
            if (reader.state == head_state::failed) return;
    }
    reader.line.clear();
    ++reader.line_number;
}

}  // namespace

bool within_limit(std::uint64_t value, std::int32_t limit) {
    return value <= static_cast<std::uint32_t>(limit) || limit == -1;
}

bool is_valid_utf16(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_low_surrogate(text[i])) return false;
        if (is_high_surrogate(text[i])) {
            if (i + 1 == text.size() || !is_low_surrogate(text[i + 1])) return false;
            ++i;
        }
    }
    return true;
}

std::size_t read_head(head_reader& reader, std::string_view bytes) {
    std::size_t used = 0;
    while (used < bytes.size() && reader.state == head_state::reading) {
        const auto byte = static_cast<unsigned char>(bytes[used++]);
        if (!reader.low_byte_pending) {
            reader.low_byte = byte;
            reader.low_byte_pending = true;
            continue;
        }
        reader.low_byte_pending = false;
        reader.head.length += 2;
        const auto unit = static_cast<char16_t>(reader.low_byte | (byte << 8));
        if (unit == u'\n') {
            take_line(reader);
            continue;
        }
        reader.line.push_back(unit);
        if (reader.line_number < index_first_line && reader.line.size() > max_leading_line_units) {
            take_line(reader);
        }
    }
    return used;
}

std::string unfinished_head_reason(const head_reader& reader) {
    if (reader.low_byte_pending) return "the archive head ends in half a UTF-16 unit";
    static const char* const missing[] = {"the version line", "the codes line", "the flag line"};
    if (reader.line_number < index_first_line) {
        return std::string("the archive ends inside ") + missing[reader.line_number];
    }
    if (!reader.line.empty()) return "the archive ends inside an index line";
    return "the archive ends without the empty line that closes the index";
}

}  // namespace gallery
