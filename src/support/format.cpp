#include "support/format.h"

#include <string>

namespace {

template <class Ch>
struct bounded_writer {
    Ch* buffer;
    std::size_t capacity;
    std::size_t needed = 0;

    void put(Ch unit) {
        if (needed + 1 < capacity) buffer[needed] = unit;
        ++needed;
    }
    void finish() {
        if (capacity == 0) return;
        buffer[needed < capacity ? needed : capacity - 1] = Ch{0};
    }
};

std::size_t read_count(std::string_view digits) {
    std::size_t value = 0;
    for (char c : digits) value = value * 10 + static_cast<std::size_t>(c - '0');
    return value;
}

template <class Ch>
bool is_digit(Ch unit) {
    return unit >= Ch{'0'} && unit <= Ch{'9'};
}

}  // namespace

template <class Ch>
std::size_t format_text(Ch* buffer, std::size_t capacity, std::basic_string_view<Ch> format,
                        std::initializer_list<format_arg<Ch>> args) {
    bounded_writer<Ch> out{buffer, capacity};
    auto next_arg = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        const Ch unit = format[i++];
        if (unit != Ch{'%'}) {
            out.put(unit);
            continue;
        }
        if (i < format.size() && format[i] == Ch{'%'}) {
            out.put(Ch{'%'});
            ++i;
            continue;
        }
        // Width and precision are at most two digits in every template of the system.
        std::string width_digits;
        std::string precision_digits;
        while (i < format.size() && is_digit(format[i]) && width_digits.size() < 2) {
            width_digits.push_back(static_cast<char>(format[i++]));
        }
        if (i < format.size() && format[i] == Ch{'.'}) {
            ++i;
            while (i < format.size() && is_digit(format[i]) && precision_digits.size() < 2) {
                precision_digits.push_back(static_cast<char>(format[i++]));
            }
        }
        if (i >= format.size()) break;
        const Ch conversion = format[i++];
        const std::size_t width = read_count(width_digits);
        const std::size_t precision = read_count(precision_digits);

        std::basic_string<Ch> field;
        if (next_arg != args.end()) {
            const format_arg<Ch>& arg = *next_arg++;
            if (conversion == Ch{'s'} && arg.is_text) {
                field.assign(arg.text);
            } else if ((conversion == Ch{'d'} || conversion == Ch{'u'}) && !arg.is_text) {
                // The template decides how the 32 bits read, as with the C library's %d and %u.
                const auto bits = static_cast<std::uint32_t>(arg.number);
                const bool negative = conversion == Ch{'d'} && static_cast<std::int32_t>(bits) < 0;
                std::uint32_t magnitude = negative ? 0u - bits : bits;
                std::basic_string<Ch> digits;
                do {
                    digits.insert(digits.begin(), static_cast<Ch>(Ch{'0'} + magnitude % 10));
                    magnitude /= 10;
                } while (magnitude != 0);
                while (digits.size() < precision) digits.insert(digits.begin(), Ch{'0'});
                if (negative) digits.insert(digits.begin(), Ch{'-'});
                field = digits;
            }
        }
        for (std::size_t pad = field.size(); pad < width; ++pad) out.put(Ch{' '});
        for (Ch c : field) out.put(c);
    }
    out.finish();
    return out.needed;
}

template std::size_t format_text<char>(char*, std::size_t, std::string_view,
                                       std::initializer_list<format_arg<char>>);
template std::size_t format_text<char16_t>(char16_t*, std::size_t, std::u16string_view,
                                           std::initializer_list<format_arg<char16_t>>);
