// Reading the head of an upload archive: the version, codes and flag lines and the file index,
// all UTF-16LE lines ending in a lone LF unit, closed by an empty line. The head arrives in
// pieces as the request body streams in, so the reader keeps its place between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gallery {

// Largest archive in bytes, most files per upload, largest single file in bytes. The gallery
// publishes them as signed decimals and compares them unsigned, which is what makes -1 unlimited.
struct archive_limits {
    std::int32_t archive_bytes = 10485760;
    std::int32_t files = 100;
    std::int32_t file_bytes = 2097152;
};

bool within_limit(std::uint64_t value, std::int32_t limit);

struct indexed_file {
    std::uint32_t size = 0;
    std::u16string name;
};

struct archive_head {
    std::u16string codes;
    std::u16string flag;
    std::vector<indexed_file> files;
    std::uint64_t data_bytes = 0;  // the sizes of all files added up
    std::uint64_t length = 0;      // bytes from the start of the body through the empty line
};

enum class head_state { reading, complete, failed };

struct head_reader {
    archive_limits limits;
    head_state state = head_state::reading;
    archive_head head;
    std::string reason;  // one line, set when failed

    std::u16string line;
    std::size_t line_number = 0;
    bool low_byte_pending = false;
    unsigned char low_byte = 0;
};

// Consumes bytes until the head is complete or found bad; returns how many of them belong to
// the head, so the caller can pass the rest on as file data.
std::size_t read_head(head_reader& reader, std::string_view bytes);

// Why a body that ended while the head was still being read is bad.
std::string unfinished_head_reason(const head_reader& reader);

bool is_valid_utf16(std::u16string_view text);

}  // namespace gallery
