#include "http/response.h"

#include <algorithm>
#include <string_view>

#include "support/console.h"
#include "support/numbers.h"

namespace {

constexpr std::string_view status_line_start = "HTTP/1";
constexpr std::string_view transfer_encoding_name = "Transfer-Encoding";
constexpr std::string_view content_length_name = "Content-Length";

// The field of `line` that begins after `skip` fields, fields being separated by runs of
// `separator` (runs at the start are skipped too). Empty when there is no such field.
std::string_view field_of(std::string_view line, char separator, int skip) {
    std::size_t pos = 0;
    for (int field = 0;; ++field) {
        while (pos < line.size() && line[pos] == separator) ++pos;
        std::size_t end = line.find(separator, pos);
        if (end == std::string_view::npos) end = line.size();
        if (field == skip) return line.substr(pos, end - pos);
        if (end == line.size()) return {};
        pos = end;
    }
}

body_buffer allocate_body(std::size_t bytes) {
    return body_buffer(static_cast<char*>(std::malloc(bytes + 1)));
}

void report_cut_short(bool* cut_short) {
    print_message(answer_cut_short_message);
    if (cut_short != nullptr) *cut_short = true;
}

// The chunks joined as their bytes arrive, in one buffer that grows geometrically: the cost stays
// linear in the bytes received however small the chunks, and the memory stays close to the bytes
// held whatever sizes the chunks announce.
struct joined_body {
    body_buffer bytes;
    std::size_t capacity = 0;  // body bytes it has room for, besides the zero byte after them
    std::size_t used = 0;
};

constexpr std::size_t joined_first_capacity = 1024;
// The most room asked for at once on behalf of a chunk's announced size, so that a size the
// gallery never sends costs nothing.
constexpr std::size_t joined_receive_piece = 64 * 1024;

// Room for `wanted` more bytes after those in use; false when the memory cannot be had.
bool make_room(joined_body& joined, std::size_t wanted) {
    if (joined.bytes && joined.capacity - joined.used >= wanted) return true;
    const std::size_t grown =
        std::max({joined_first_capacity, joined.capacity * 2, joined.used + wanted});
    void* moved = std::realloc(joined.bytes.get(), grown + 1);
    if (moved == nullptr) return false;
    static_cast<void>(joined.bytes.release());
    joined.bytes.reset(static_cast<char*>(moved));
    joined.capacity = grown;
    return true;
}

// A chunk size line: false when the body ends here (closed connection, an overlong line, no
// hexadecimal number, or a size that is zero or negative).
bool read_chunk_size(socket_handle socket, std::int32_t& size) {
    char line[size_line_buffer_size];
    for (std::size_t i = 0; i < size_line_buffer_size; ++i) {
        if (net_recv(socket, &line[i], 1) <= 0) return false;
        if (line[i] == '\n' && i > 0 && line[i - 1] == '\r') {
            const parsed_number number = read_number(std::string_view(line, i - 1), 16);
            if (!number.found || number.negative || number.magnitude == 0) return false;
            size = number.magnitude > INT32_MAX ? INT32_MAX
                                                : static_cast<std::int32_t>(number.magnitude);
            return true;
        }
    }
    return false;
}

}  // namespace

std::int32_t parse_header_line(std::string_view line, std::int32_t& status) {
    line = line.substr(0, line.find('\0'));  // the line is text: it ends at a zero byte
    if (line.substr(0, status_line_start.size()) == status_line_start) {
        const std::string_view code = field_of(line, ' ', 1);
        status = read_decimal_saturating(code);
        return 0;
    }
    const std::string_view name = field_of(line, ':', 0);
    if (name.empty()) return 0;
    const std::string_view value = field_of(line, ':', 1);
    if (name.substr(0, transfer_encoding_name.size()) == transfer_encoding_name) {
        const std::size_t start = value.find_first_not_of(' ');
        return start != std::string_view::npos && value.substr(start) == "chunked" ? body_chunked
                                                                                   : 0;
    }
    if (name.substr(0, content_length_name.size()) == content_length_name) {
        return read_decimal_saturating(value);
    }
    return 0;
}

std::int32_t read_response_head(socket_handle socket, std::int32_t& status) {
    char head[head_buffer_size];
    std::size_t line_start = 0;
    bool chunked = false;
    std::int32_t length = 0;
    for (std::size_t p = 0; p < head_buffer_size; ++p) {
        if (net_recv(socket, &head[p], 1) <= 0) return 0;
        if (head[p] != '\n' || p == 0 || head[p - 1] != '\r') continue;
        if (p - line_start < 2) break;  // CR LF alone: the head is complete
        const std::int32_t result =
            parse_header_line(std::string_view(head + line_start, p - 1 - line_start), status);
        if (result > 0) length = result;
        if (result == body_chunked) chunked = true;
        line_start = p + 1;
    }
    return chunked ? body_chunked : length;
}

std::int32_t read_final_head(socket_handle socket, std::int32_t& status) {
    std::int32_t length = 0;
    do {
        status = 0;
        length = read_response_head(socket, status);
    } while (status == 100);
    return length;
}

body_buffer read_body(socket_handle socket, std::int32_t& length, bool* cut_short) {
    if (length < 0) return read_chunked_body(socket, length, cut_short);
    if (length > 0) {
        const auto wanted = static_cast<std::size_t>(length);
        body_buffer body = allocate_body(wanted);
        std::size_t got = 0;
        while (body && got < wanted) {
            const long long received = net_recv(socket, body.get() + got, wanted - got);
            if (received <= 0)
                body.reset();
            else
                got += static_cast<std::size_t>(received);
        }
        if (!body) {
            report_cut_short(cut_short);
            return nullptr;
        }
        body[wanted] = '\0';
        return body;
    }
    body_buffer body = allocate_body(to_end_body_limit);
    if (!body) return nullptr;
    std::size_t got = 0;
    while (got < to_end_body_limit) {
        const long long received = net_recv(socket, body.get() + got, to_end_body_limit - got);
        if (received <= 0) break;
        got += static_cast<std::size_t>(received);
    }
    body[got] = '\0';
    length = static_cast<std::int32_t>(got);
    return body;
}

body_buffer read_chunked_body(socket_handle socket, std::int32_t& length, bool* cut_short) {
    joined_body joined;
    std::int32_t size = 0;
    while (read_chunk_size(socket, size)) {
        // The joined body's count must stay a 32-bit length.
        if (static_cast<std::size_t>(size) > static_cast<std::size_t>(INT32_MAX) - joined.used) {
            break;
        }
        const std::size_t chunk_start = joined.used;
        std::size_t missing = static_cast<std::size_t>(size);
        while (missing > 0) {
            if (!make_room(joined, std::min(missing, joined_receive_piece))) {
                report_cut_short(cut_short);
                return nullptr;
            }
            const std::size_t room = std::min(missing, joined.capacity - joined.used);
            const long long received = net_recv(socket, joined.bytes.get() + joined.used, room);
            if (received <= 0) break;
            joined.used += static_cast<std::size_t>(received);
            missing -= static_cast<std::size_t>(received);
        }
        if (missing > 0) {
            // A chunk cut short contributes nothing; the next size line decides what follows.
            joined.used = chunk_start;
            report_cut_short(cut_short);
        }
        char line_end[2];
        net_recv(socket, line_end, sizeof line_end);
    }
    if (!make_room(joined, 0)) {
        report_cut_short(cut_short);
        return nullptr;
    }
    joined.bytes[joined.used] = '\0';
    length = static_cast<std::int32_t>(joined.used);
    return std::move(joined.bytes);
}
