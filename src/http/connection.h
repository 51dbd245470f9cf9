// The connection to the gallery host and the head lines of both requests. The client writes
// HTTP/1.1 itself: one fixed host, one line per send item, no other header fields.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "support/format.h"

// Where the gallery is. The shipped program fixes it at build time; the developer build takes
// it from its environment. The host text is used both to resolve and in the "Host" line.
struct gallery_endpoint {
    std::string host;
    std::uint16_t port = 80;
};

void set_gallery_endpoint(const gallery_endpoint& endpoint);
const gallery_endpoint& current_gallery();

inline constexpr std::string_view limits_path = "/add/limits.aspx";
inline constexpr std::string_view upload_path = "/add/Client.aspx";
inline constexpr std::string_view upload_charset = "utf-16";

inline constexpr std::string_view get_line_template = "GET %s HTTP/1.1\r\n";
inline constexpr std::string_view post_line_template = "POST %s HTTP/1.1\r\n";
inline constexpr std::string_view host_line_template = "Host: %s\r\n";
inline constexpr std::string_view user_agent_last_line_template = "User-Agent: %s\r\n\r\n";
inline constexpr std::string_view user_agent_line_template = "User-Agent: %s\r\n";
// Unsigned, so that no length can ever be written as a negative number.
inline constexpr std::string_view content_length_line_template = "Content-Length: %u\r\n";
inline constexpr std::string_view content_type_line_template =
    "Content-Type: application/octet-stream; charset=%s\r\n\r\n";

inline constexpr std::size_t limits_line_buffer_size = 1024;
inline constexpr std::size_t upload_line_buffer_size = 32 * 1024;

// "Nexivane/2.0 (<system> <major>.<minor>)", made anew for each request.
std::string make_user_agent();

// Resolves the gallery host anew and connects; ends the run with status 1 when it cannot.
socket_handle connect_to_gallery();

// Formats one head line into the request's line buffer and sends it as one item; ends the run
// with "connection error" when it cannot go out.
void send_head_line(socket_handle socket, std::span<char> line_buffer, std::string_view line,
                    format_arg<char> argument);
