// Reads one HTTP/1.x answer off a gallery connection: the head a byte at a time, so nothing past
// it leaves the socket, then the body in the mode the head gave.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/platform.h"

// A body mode: above 0 an exact length, below 0 chunked, 0 to the end of the connection.
inline constexpr std::int32_t body_chunked = -1;
inline constexpr std::int32_t body_to_end = 0;

// Said when an answer, or a body of it, ends before it is whole.
inline constexpr char16_t answer_cut_short_message[] = u"server response terminated unexpectedly";

inline constexpr std::size_t head_buffer_size = 1025;
inline constexpr std::size_t size_line_buffer_size = 80;
inline constexpr std::size_t to_end_body_limit = 1024;

struct free_deleter {
    void operator()(void* block) const { std::free(block); }
};

// A body: its bytes and one zero byte after them. Allocated with malloc so that a length the
// gallery announces costs nothing until its bytes arrive, and so a failed allocation is seen.
using body_buffer = std::unique_ptr<char[], free_deleter>;

// Reads one head; a status line sets `status`. Returns the body mode.
std::int32_t read_response_head(socket_handle socket, std::int32_t& status);

// Reads heads until one that is not an interim 100 head (a head without a status line leaves
// the status at 0 and ends the search too). Returns the body mode of the last head.
std::int32_t read_final_head(socket_handle socket, std::int32_t& status);

// Classifies one head line (without its CR LF): a status line sets `status` and gives 0; a
// chunked "Transfer-Encoding" gives -1; a "Content-Length" gives its number as written; any
// other line gives 0.
std::int32_t parse_header_line(std::string_view line, std::int32_t& status);

// Reads the body in the mode held by `length`, which then holds the count of body bytes. Null
// when a body of announced length was cut short (the message has been printed). `cut_short`,
// when given, is set whenever part of the body ended early: also a chunk whose data was cut off,
// which leaves the rest of a chunked body readable.
body_buffer read_body(socket_handle socket, std::int32_t& length, bool* cut_short = nullptr);

// The chunked mode of read_body: every chunk joined by its length, zero bytes included, a chunk
// cut short contributing nothing.
body_buffer read_chunked_body(socket_handle socket, std::int32_t& length,
                              bool* cut_short = nullptr);
