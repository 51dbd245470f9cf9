// One upload request, from its head fields to the stored folder. The body is taken in pieces as
// it arrives: the archive head is checked first, and only a head that is wholly right, within
// the limits and adding up to the body length gets a folder; its file data then streams straight
// into the files. Once something is wrong the rest of the body is still read, and dropped, so the
// connection stays usable for the client's next request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive.h"
#include "storage.h"

namespace gallery {

inline constexpr std::string_view upload_content_type = "application/octet-stream; charset=utf-16";

struct upload_receiver {
    archive_limits limits;
    storage_root* root = nullptr;
    std::uint64_t body_length = 0;  // as the Content-Length said
    std::uint64_t received = 0;

    head_reader head;
    std::vector<std::string> names;
    upload_folder folder;
    std::size_t next_file = 0;
    std::uint64_t file_left = 0;
    int file_fd = -1;

    int failure_status = 0;  // 0 while all is well
    std::string failure;
};

struct upload_outcome {
    int status = 0;
    std::string message;  // one line, no LF
    std::size_t files = 0;
    std::uint64_t bytes = 0;
};

// For head fields: names and some values compare without regard to ASCII case; a length is
// decimal digits alone.
bool ascii_iequal(std::string_view a, std::string_view b);
std::optional<std::uint64_t> parse_length(std::string_view text);

// content_type and content_length are the request's header values, absent when not sent. An
// archive over the size limit fails with 413 here, so it can be refused before its body.
void start_upload(upload_receiver& upload, const archive_limits& limits, storage_root& root,
                  std::optional<std::string_view> content_type,
                  std::optional<std::string_view> content_length);

void receive_upload_bytes(upload_receiver& upload, std::string_view bytes);

// body_read tells whether the whole body came in; a lost connection stores nothing.
upload_outcome finish_upload(upload_receiver& upload, bool body_read);

// For an upload that gets no answer: removes what it stored so far. Does nothing once the
// upload is finished.
void drop_upload(upload_receiver& upload);

}  // namespace gallery
