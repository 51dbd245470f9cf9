// The gallery's answer to the limits query: the bytes straight into the reply parser, and the
// same bytes as a whole answer on a connection, read and parsed as the limits query does.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fed_socket.h"
#include "http/limits.h"
#include "http/response.h"
#include "support/text.h"

namespace {

// What the reply format means, read with the C library's own number reader: three numbers, each
// colon right after its number, the text ending at a zero byte. The parser treats a zero byte as
// a character that is neither white space, sign, digit nor colon, which refuses the same texts.
std::optional<upload_limits> limits_by_c_library(std::string_view body) {
    const std::string text(body);
    const char* pos = text.c_str();
    std::uint32_t values[3];
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*pos != ':') return std::nullopt;
            ++pos;
        }
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(pos, &end, 10);
        if (end == pos) return std::nullopt;
        if (errno == ERANGE || value < INT32_MIN || value > static_cast<long long>(UINT32_MAX)) {
            return std::nullopt;
        }
        values[i] = static_cast<std::uint32_t>(value);
        pos = end;
    }
    return upload_limits{values[0], values[1], values[2]};
}

void check_same(const std::optional<upload_limits>& parsed, std::string_view body) {
    const std::optional<upload_limits> expected = limits_by_c_library(body);
    require(parsed.has_value() == expected.has_value(), "the reply is accepted or refused wrongly");
    if (!parsed) return;
    require(parsed->max_archive_bytes == expected->max_archive_bytes &&
                parsed->max_files == expected->max_files &&
                parsed->max_file_bytes == expected->max_file_bytes,
            "the reply is read as other limits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check_same(parse_limits(bytes), bytes);

    fed_socket fed;
    open_fed_socket(fed, data, size);
    std::int32_t status = 0;
    std::int32_t length = read_final_head(reader_handle(fed), status);
    const body_buffer body = read_body(reader_handle(fed), length);
    close_fed_socket(fed);
    if (!body) return 0;  // the query ends the run here: "bad limit response"
    require(length >= 0 && static_cast<std::size_t>(length) <= size, "the body length is wrong");
    require(body[static_cast<std::size_t>(length)] == '\0', "no zero byte after the body");
    const std::string_view text = text_before_zero(body.get(), static_cast<std::size_t>(length));
    check_same(parse_limits(text), text);
    return 0;
}
