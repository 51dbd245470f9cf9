#include "http/connection.h"

#include "support/console.h"
#include "support/version.h"

namespace {

gallery_endpoint endpoint;

constexpr std::size_t user_agent_buffer_size = 1024;

}  // namespace

void set_gallery_endpoint(const gallery_endpoint& chosen) { endpoint = chosen; }

const gallery_endpoint& current_gallery() { return endpoint; }

std::string make_user_agent() {
    const std::string system = os_version_text();
    char buffer[user_agent_buffer_size];
    const std::size_t length = format_narrow(buffer, sizeof buffer, "%s/%s (%s)",
                                             {product_name, client_version, system.c_str()});
    return std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1);
}

socket_handle connect_to_gallery() {
    const auto address = net_resolve_ipv4(endpoint.host);
    if (!address) fatal(u"cannot resolve the gallery address");
    const socket_handle socket = net_connect_ipv4(*address, endpoint.port);
    if (socket == no_socket) fatal(u"cannot connect to the gallery");
    return socket;
}

void send_head_line(socket_handle socket, std::span<char> line_buffer, std::string_view line,
                    format_arg<char> argument) {
    const std::size_t length =
        format_narrow(line_buffer.data(), line_buffer.size(), line, {argument});
    // A line that does not fit would go out cut short: treat it as a line that cannot be sent.
    if (length >= line_buffer.size()) fatal(u"connection error");
    if (!net_send_all(socket, line_buffer.data(), length)) fatal(u"connection error");
}
