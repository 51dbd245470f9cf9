#include "http/limits.h"

#include <array>

#include "http/connection.h"
#include "http/response.h"
#include "support/console.h"
#include "support/numbers.h"
#include "support/text.h"

namespace {

bool limits_loaded = false;
upload_limits cached_limits;

constexpr std::int64_t lowest_limit = INT32_MIN;
constexpr std::int64_t highest_limit = UINT32_MAX;

}  // namespace

std::optional<upload_limits> parse_limits(std::string_view body) {
    std::array<std::uint32_t, 3> values{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            if (pos >= body.size() || body[pos] != ':') return std::nullopt;
            ++pos;
        }
        const parsed_number number = read_number(body.substr(pos), 10);
        if (!number.found) return std::nullopt;
        const std::int64_t value = number.negative ? -static_cast<std::int64_t>(number.magnitude)
                                                   : static_cast<std::int64_t>(number.magnitude);
        if (value < lowest_limit || value > highest_limit) return std::nullopt;
        values[i] = static_cast<std::uint32_t>(value);
        pos += number.end;
    }
    return upload_limits{values[0], values[1], values[2]};
}

upload_limits get_upload_limits() {
    if (limits_loaded) return cached_limits;
    const socket_handle socket = connect_to_gallery();
    std::array<char, limits_line_buffer_size> line;
    send_head_line(socket, line, get_line_template, limits_path);
    send_head_line(socket, line, host_line_template, current_gallery().host.c_str());
    const std::string user_agent = make_user_agent();
    send_head_line(socket, line, user_agent_last_line_template, user_agent.c_str());

    std::int32_t status = 0;
    std::int32_t length = read_final_head(socket, status);
    const body_buffer body = read_body(socket, length);
    if (!body) fatal(u"bad limit response");
    const auto limits =
        parse_limits(text_before_zero(body.get(), static_cast<std::size_t>(length)));
    if (!limits) fatal(u"bad limit response");
    cached_limits = *limits;
    limits_loaded = true;
    return cached_limits;
}

void forget_upload_limits() { limits_loaded = false; }
