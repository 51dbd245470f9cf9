// A body as it follows a head. The first byte picks the mode:
// - below 0x40: the rest is a chunked body as the gallery sent it;
// - 0x40 to 0x7F: the rest is pieces, each a length byte and that many bytes, that the gallery
//   sends as a well-formed chunked body (the low bits of the first byte vary how it writes the
//   sizes); the reader must give back the pieces joined;
// - from 0x80: the next two bytes (low byte first) are an exact length, 0 meaning to the end of
//   the connection, and the rest is the body.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fed_socket.h"
#include "http/response.h"

namespace {

void check_body(const body_buffer& body, std::int32_t length, std::size_t sent) {
    require(length >= 0, "the body length is negative");
    const auto bytes = static_cast<std::size_t>(length);
    require(bytes <= sent, "the body is longer than everything the gallery sent");
    require(body[bytes] == '\0', "no zero byte after the body");
}

void read_chunked(const std::uint8_t* data, std::size_t size) {
    fed_socket fed;
    open_fed_socket(fed, data, size);
    std::int32_t length = body_chunked;
    const body_buffer body = read_chunked_body(reader_handle(fed), length);
    close_fed_socket(fed);
    // The joined chunks hold only bytes that arrived, so their buffer is always small enough.
    require(body != nullptr, "no chunked body");
    check_body(body, length, size);
}

// The gallery's side of a well-formed chunked body; returns the pieces joined.
std::string encode_chunks(std::uint8_t style, const std::uint8_t* data, std::size_t size,
                          std::string& sent) {
    std::string joined;
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t piece = std::min<std::size_t>(data[pos], size - pos - 1);
        ++pos;
        if (piece == 0) continue;  // a zero size would end the body
        char size_line[32];
        std::snprintf(size_line, sizeof size_line, (style & 1) != 0 ? "%s%zX%s\r\n" : "%s%zx%s\r\n",
                      (style & 2) != 0 ? "0x" : "", piece, (style & 4) != 0 ? ";name=value" : "");
        sent += size_line;
        sent.append(reinterpret_cast<const char*>(data + pos), piece);
        sent += "\r\n";
        joined.append(reinterpret_cast<const char*>(data + pos), piece);
        pos += piece;
    }
    sent += "0\r\n\r\n";
    return joined;
}

void read_encoded(std::uint8_t style, const std::uint8_t* data, std::size_t size) {
    std::string sent;
    const std::string joined = encode_chunks(style, data, size, sent);
    fed_socket fed;
    open_fed_socket(fed, reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size());
    std::int32_t length = body_chunked;
    const body_buffer body = read_body(reader_handle(fed), length);
    close_fed_socket(fed);
    require(body != nullptr, "no chunked body");
    check_body(body, length, sent.size());
    require(std::string_view(body.get(), static_cast<std::size_t>(length)) == joined,
            "the chunks are not joined as sent");
}

void read_exact(std::int32_t mode, const std::uint8_t* data, std::size_t size) {
    fed_socket fed;
    open_fed_socket(fed, data, size);
    std::int32_t length = mode;
    const body_buffer body = read_body(reader_handle(fed), length);
    close_fed_socket(fed);
    // A length of 0 reads to the end of the connection, up to its limit.
    const std::size_t expected =
        mode > 0 ? static_cast<std::size_t>(mode) : std::min(size, to_end_body_limit);
    if (mode > 0) {
        require((body != nullptr) == (size >= expected), "a full body refused or a short one kept");
    } else {
        require(body != nullptr, "no to-the-end body");
    }
    if (!body) return;
    check_body(body, length, size);
    require(static_cast<std::size_t>(length) == expected, "the body has the wrong length");
    require(std::memcmp(body.get(), data, expected) == 0, "the body is not the bytes sent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] < 0x40) {
        read_chunked(data + 1, size - 1);
        return 0;
    }
    if (data[0] < 0x80) {
        read_encoded(data[0], data + 1, size - 1);
        return 0;
    }
    if (size < 3) return 0;
    const std::int32_t mode = data[1] | (data[2] << 8);
    read_exact(mode, data + 3, size - 3);
    return 0;
}
