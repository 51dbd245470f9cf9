#include "upload.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gallery {
namespace {

void fail(upload_receiver& upload, int status, std::string reason) {
    if (upload.failure_status != 0) return;
    upload.failure_status = status;
    upload.failure = std::move(reason);
}

std::string count_text(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

void close_file(upload_receiver& upload) {
    if (upload.file_fd >= 0) close(upload.file_fd);
    upload.file_fd = -1;
}

// Moves on to the next file that still wants bytes, creating every file on the way, zero-byte
// ones included; false once all files are done.
bool open_file_with_room(upload_receiver& upload) {
    while (upload.file_left == 0) {
        close_file(upload);
        if (upload.next_file == upload.names.size()) return false;
        const std::string& name = upload.names[upload.next_file];
        upload.file_fd = create_stored_file(upload.folder, name);
        if (upload.file_fd < 0) {
            fail(upload, 500, "cannot create " + name + ": " + std::strerror(errno));
            return false;
        }
        upload.file_left = upload.head.head.files[upload.next_file].size;
        ++upload.next_file;
    }
    return true;
}

void store_data(upload_receiver& upload, std::string_view bytes) {
    while (!bytes.empty() && upload.failure_status == 0) {
        if (!open_file_with_room(upload)) {
            fail(upload, 400, "the data is longer than the index says");
            return;
        }
        const std::size_t part =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), upload.file_left));
        std::size_t written = 0;
        while (written < part) {
            const ssize_t n = write(upload.file_fd, bytes.data() + written, part - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail(upload, 500,
                     std::string("cannot write a stored file: ") +
                         (n < 0 ? std::strerror(errno) : "nothing written"));
                return;
            }
            written += static_cast<std::size_t>(n);
        }
        bytes.remove_prefix(part);
        upload.file_left -= part;
    }
}

// The head is known: check that the body is exactly head plus data, then make the folder.
void begin_storing(upload_receiver& upload) {
    const archive_head& head = upload.head.head;
    const std::uint64_t expected = head.length + head.data_bytes;
    if (upload.body_length < expected) {
        return fail(upload, 400,
                    "the data is shorter than the index says: " +
                        count_text(expected - upload.body_length, "byte", "bytes") + " missing");
    }
    if (upload.body_length > expected) {
        return fail(upload, 400,
                    "the data is longer than the index says: " +
                        count_text(upload.body_length - expected, "byte", "bytes") + " too many");
    }
    upload.names = stored_names(head.files);
    std::string error;
    if (!begin_upload_folder(*upload.root, upload.folder, error)) fail(upload, 500, error);
}

}  // namespace

bool ascii_iequal(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::optional<std::uint64_t> parse_length(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

void start_upload(upload_receiver& upload, const archive_limits& limits, storage_root& root,
                  std::optional<std::string_view> content_type,
                  std::optional<std::string_view> content_length) {
    upload.limits = limits;
    upload.root = &root;
    upload.head.limits = limits;
    if (!content_type || !ascii_iequal(*content_type, upload_content_type)) {
        return fail(upload, 400, "the Content-Type is not " + std::string(upload_content_type));
    }
    const std::optional<std::uint64_t> length =
        content_length ? parse_length(*content_length) : std::nullopt;
    if (!length) return fail(upload, 400, "the request has no usable Content-Length");
    upload.body_length = *length;
    if (!within_limit(upload.body_length, limits.archive_bytes)) {
        return fail(upload, 413,
                    "the archive is " + std::to_string(upload.body_length) +
                        " bytes, over the limit of " + std::to_string(limits.archive_bytes));
    }
}

void receive_upload_bytes(upload_receiver& upload, std::string_view bytes) {
    upload.received += bytes.size();
    if (upload.failure_status != 0) return;
    if (upload.head.state == head_state::reading) {
        bytes.remove_prefix(read_head(upload.head, bytes));
        if (upload.head.state == head_state::failed) return fail(upload, 400, upload.head.reason);
        if (upload.head.state != head_state::complete) return;
        begin_storing(upload);
    }
    store_data(upload, bytes);
}

upload_outcome finish_upload(upload_receiver& upload, bool body_read) {
    if (!body_read || upload.received != upload.body_length) {
        fail(upload, 400, "the body ended before its Content-Length");
    }
    if (upload.failure_status == 0 && upload.head.state == head_state::reading) {
        fail(upload, 400, unfinished_head_reason(upload.head));
    }
    // Zero-byte files at the end of the index have no data to bring them into being.
    if (upload.failure_status == 0 && open_file_with_room(upload)) {
        fail(upload, 400, "the data is shorter than the index says");
    }
    close_file(upload);

    upload_outcome outcome;
    if (upload.failure_status == 0) {
        std::string error;
        if (const auto folder = publish_upload_folder(*upload.root, upload.folder, error)) {
            outcome.status = 200;
            outcome.files = upload.names.size();
            outcome.bytes = upload.head.head.data_bytes;
            outcome.message = "stored " + count_text(outcome.files, "file", "files") + ", " +
                              count_text(outcome.bytes, "byte", "bytes") + " in " + *folder;
            return outcome;
        }
        fail(upload, 500, error);
    }
    discard_upload_folder(*upload.root, upload.folder);
    outcome.status = upload.failure_status;
    outcome.message = upload.failure;
    return outcome;
}

void drop_upload(upload_receiver& upload) {
    close_file(upload);
    if (upload.root != nullptr) discard_upload_folder(*upload.root, upload.folder);
}

}  // namespace gallery
