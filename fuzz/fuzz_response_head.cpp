// A gallery's whole answer, read the way the client reads it: heads while the status is 100,
// then the body in the mode the last head gave.
#include <cstdint>
#include <cstring>

#include "fed_socket.h"
#include "http/response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fed_socket fed;
    open_fed_socket(fed, data, size);
    std::int32_t status = 0;
    std::int32_t length = read_final_head(reader_handle(fed), status);
    const std::int32_t mode = length;
    const body_buffer body = read_body(reader_handle(fed), length);
    close_fed_socket(fed);

    // Only a body of announced length can be missing: it was cut short.
    require(body != nullptr || mode > 0, "a body is missing outside the exact-length mode");
    if (!body) return 0;
    require(length >= 0, "the body length is negative");
    const auto bytes = static_cast<std::size_t>(length);
    require(bytes <= size, "the body is longer than everything the gallery sent");
    require(body[bytes] == '\0', "no zero byte after the body");
    if (mode > 0) require(length == mode, "an exact-length body has another length");
    if (mode == body_to_end) {
        require(bytes <= to_end_body_limit, "a to-the-end body is over its limit");
    }
    // Outside the chunked mode the body is one run of the bytes sent.
    if (mode >= 0 && bytes > 0) {
        require(::memmem(data, size, body.get(), bytes) != nullptr,
                "the body is not a run of the bytes sent");
    }
    return 0;
}
