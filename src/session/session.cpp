#include "session/session.h"

#include <array>
#include <vector>

#include "archive/archive.h"
#include "archive/paths.h"
#include "http/limits.h"
#include "http/response.h"
#include "settings/settings.h"
#include "support/console.h"
#include "support/format.h"
#include "support/progress.h"
#include "support/terminal.h"
#include "support/text.h"
#include "support/version.h"

namespace {

// The three units of the version and the LF of each of the three preamble lines.
constexpr std::uint64_t preamble_fixed_bytes = 12;
constexpr char16_t line_feed = u'\n';
constexpr std::size_t message_buffer_units = 80;
constexpr char16_t over_limit_template[] = u"server refuses to accept archives bigger than %dM";

void send_item(socket_handle socket, const void* data, std::size_t length) {
    if (!net_send_all(socket, data, length)) fatal(u"connection error");
}

void send_wide_line(socket_handle socket, wide_view text) {
    send_item(socket, text.data(), text.size() * sizeof(char16_t));
    send_item(socket, &line_feed, sizeof line_feed);
    progress_sent((text.size() + 1) * sizeof(char16_t));
}

}  // namespace

std::uint64_t announced_length(std::uint64_t body_bytes, wide_view codes, wide_view flag) {
    return body_bytes + 2 * std::uint64_t{codes.size()} + 2 * std::uint64_t{flag.size()} +
           preamble_fixed_bytes;
}

bool report_response(socket_handle socket) {
    std::int32_t status = 0;
    std::int32_t length = read_final_head(socket, status);
    bool cut_short = false;
    const body_buffer body = read_body(socket, length, &cut_short);
    if (!body) return false;
    const auto size = static_cast<std::size_t>(length);
    if (status == 0 && size == 0) {
        // Nothing came back that reads as an answer: the gallery closed or reset the connection.
        if (!cut_short) print_message(answer_cut_short_message);
        return false;
    }
    if (status == 200) {
        const std::string_view bytes(body.get(), size);
        if (console_is_terminal(console_stream::output)) {
            const std::string shown = terminal_safe_bytes(bytes);
            console_write_output(shown.data(), shown.size());
        } else {
            console_write_output(bytes.data(), bytes.size());
        }
    } else {
        const wide_string text = to_wide(text_before_zero(body.get(), size));
        print_message(console_is_terminal(console_stream::error) ? terminal_safe_text(text) : text);
    }
    return !cut_short;
}

int run_upload_session(const gallery_endpoint& endpoint,
                       const std::vector<wide_string>& arguments) {
    set_gallery_endpoint(endpoint);
    net_start();
    progress_start();
    const std::uint32_t max_archive_bytes = get_upload_limits().max_archive_bytes;
    const client_settings& settings = load_settings();
    const socket_handle socket = connect_to_gallery();

    upload_archive archive;
    archive_init(archive);
    for (std::size_t i = 1; i < arguments.size(); ++i) add_path(archive, arguments[i]);

    std::vector<char> line(upload_line_buffer_size);
    send_head_line(socket, line, post_line_template, upload_path);
    send_head_line(socket, line, host_line_template, endpoint.host.c_str());
    const std::string user_agent = make_user_agent();
    send_head_line(socket, line, user_agent_line_template, user_agent.c_str());

    const wide_string codes = to_wide(settings.codes);
    const wide_string flag = to_wide(settings.flag);
    const std::uint64_t length = announced_length(archive.body_bytes, codes, flag);
    if (length > max_archive_bytes) {
        std::array<char16_t, message_buffer_units> message;
        format_wide(message.data(), message.size(), over_limit_template,
                    {static_cast<std::int32_t>(max_archive_bytes >> 20)});
        fatal(message.data());
    }
    send_head_line(socket, line, content_length_line_template, static_cast<std::uint32_t>(length));
    send_head_line(socket, line, content_type_line_template, upload_charset);
    progress_send_start(length);

    send_wide_line(socket, to_wide(client_version));
    send_wide_line(socket, codes);
    send_wide_line(socket, flag);
    // A body that did not go out whole, or an answer that did not come back whole, is a failed
    // upload: a caller must not take it for one the gallery has.
    const bool sent_whole = archive_send(archive, socket);
    progress_finish();
    archive_release(archive);

    const bool answered = report_response(socket);
    net_stop();
    return sent_whole && answered ? 0 : 1;
}
