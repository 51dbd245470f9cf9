#include "support/progress.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

using progress_clock = std::chrono::steady_clock;

constexpr auto redraw_interval = std::chrono::milliseconds(100);
// Updates between two looks at the clock: 64 send pieces are 64 KiB.
constexpr unsigned updates_per_clock_look = 64;
constexpr double mebibyte = 1024.0 * 1024.0;
// The longest line drawn, in characters; a terminal narrower than this wraps it.
constexpr std::size_t line_capacity = 96;

enum class phase { hidden, packing, sending, finished };

struct progress_line {
    phase now = phase::hidden;
    bool shown = false;
    unsigned updates_left = 0;  // until the next look at the clock
    progress_clock::time_point last_drawn{};
    std::size_t drawn_width = 0;  // characters on the terminal that an erase must cover
    std::uint32_t files = 0;
    std::uint64_t packed_bytes = 0;
    std::uint64_t total = 0;
    std::uint64_t sent = 0;
    progress_clock::time_point send_started{};
};

progress_line line;

// Writes ASCII text to the terminal as it is.
void write_terminal(const char* text, std::size_t length) {
    std::array<char16_t, line_capacity * 2 + 2> units{};
    length = std::min(length, units.size());
    for (std::size_t i = 0; i < length; ++i) units[i] = static_cast<unsigned char>(text[i]);
    console_write_error(wide_view(units.data(), length));
}

// "1,204"
void append_count(char*& out, char* end, std::uint64_t value) {
    char digits[32];
    const int count =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    for (int i = 0; i < count && out < end; ++i) {
        if (i > 0 && (count - i) % 3 == 0 && out < end) *out++ = ',';
        if (out < end) *out++ = digits[i];
    }
}

[[gnu::format(printf, 3, 4)]] void append_text(char*& out, char* end, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(out, static_cast<std::size_t>(end - out), format, args);
    va_end(args);
    if (written > 0) out += std::min<std::ptrdiff_t>(written, end - out - 1);
}

// "packing: 1,204 files, 153.2 MiB" or
// "sending: 41%  105.0 / 256.0 MiB  11.8 MiB/s  0:12 left".
std::size_t describe(char* text, std::size_t capacity, progress_clock::time_point now) {
    char* out = text;
    char* const end = text + capacity;
    if (line.now == phase::packing) {
        append_text(out, end, "packing: ");
        append_count(out, end, line.files);
        append_text(out, end, line.files == 1 ? " file, %.1f MiB" : " files, %.1f MiB",
                    static_cast<double>(line.packed_bytes) / mebibyte);
        return static_cast<std::size_t>(out - text);
    }
    const unsigned percent =
        line.total == 0 ? 100 : static_cast<unsigned>(line.sent * 100 / line.total);
    append_text(out, end, "sending: %u%%  %.1f / %.1f MiB", percent,
                static_cast<double>(line.sent) / mebibyte,
                static_cast<double>(line.total) / mebibyte);
    const double seconds = std::chrono::duration<double>(now - line.send_started).count();
    if (seconds > 0 && line.sent > 0) {
        const double rate = static_cast<double>(line.sent) / seconds;
        append_text(out, end, "  %.1f MiB/s", rate / mebibyte);
        const auto left = static_cast<unsigned long long>(
            static_cast<double>(line.total - std::min(line.sent, line.total)) / rate + 0.5);
        if (left >= 3600) {
            append_text(out, end, "  %llu:%02llu:%02llu left", left / 3600, left / 60 % 60,
                        left % 60);
        } else {
            append_text(out, end, "  %llu:%02llu left", left / 60, left % 60);
        }
    }
    return static_cast<std::size_t>(out - text);
}

void draw(progress_clock::time_point now) {
    char text[line_capacity + 1];
    text[0] = '\r';
    std::size_t width = describe(text + 1, line_capacity - 1, now);
    // Blanks over what is left of a longer line drawn before.
    const std::size_t covered = std::max(width, line.drawn_width);
    while (width < covered && width + 1 < line_capacity) text[1 + width++] = ' ';
    write_terminal(text, width + 1);
    line.drawn_width = covered;
    line.last_drawn = now;
}

// Redraws when the line is new or the last drawing is old enough.
void update(bool at_once) {
    if (!at_once) {
        if (line.updates_left > 0) {
            --line.updates_left;
            return;
        }
        line.updates_left = updates_per_clock_look;
    }
    const auto now = progress_clock::now();
    if (at_once || now - line.last_drawn >= redraw_interval) draw(now);
}

}  // namespace

void progress_start() {
    const auto term = env_get("TERM");
    line = progress_line{};
    line.shown = console_is_terminal(console_stream::error) && !(term && *term == "dumb");
}

void progress_packed(std::uint32_t files, std::uint64_t bytes) {
    if (!line.shown || line.now == phase::finished) return;
    const bool first = line.now != phase::packing;
    line.now = phase::packing;
    line.files = files;
    line.packed_bytes = bytes;
    update(first);
}

void progress_send_start(std::uint64_t total) {
    if (!line.shown || line.now == phase::finished) return;
    line.now = phase::sending;
    line.total = total;
    line.sent = 0;
    line.send_started = progress_clock::now();
    update(true);
}

void progress_sent(std::uint64_t bytes) {
    if (!line.shown || line.now != phase::sending) return;
    line.sent += bytes;
    update(false);
}

void progress_clear() {
    if (line.drawn_width == 0) return;
    char blank[line_capacity + 2];
    const std::size_t width = std::min(line.drawn_width, line_capacity - 1);
    blank[0] = '\r';
    std::fill(blank + 1, blank + 1 + width, ' ');
    blank[width + 1] = '\r';
    line.drawn_width = 0;
    write_terminal(blank, width + 2);
    // The next update draws the line again at once.
    line.last_drawn = progress_clock::time_point{};
}

void progress_finish() {
    progress_clear();
    if (line.shown) line.now = phase::finished;
}
