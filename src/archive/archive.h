// The upload archive: the index text and the whole bytes of every accepted file, held in memory
// until the POST goes out, with the running count from which the announced length is known.
//
// The body it makes, after the three preamble lines the session sends: one index line per file
// ("%9.9d:%s\n" with the size and the name, UTF-16LE), an empty line, then every file's bytes
// in index order with nothing between them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

inline constexpr std::uint32_t index_growth_units = 512;
inline constexpr std::uint32_t file_slots_growth = 10;
inline constexpr std::size_t file_read_piece = 10240;
inline constexpr std::size_t file_send_piece = 1024;
// The size field of an index line has nine digits.
inline constexpr std::uint64_t largest_archive_file = 999999999;
inline constexpr char16_t index_line_template[] = u"%9.9d:%s\n";
// Units of an index line besides the name: nine digits, the colon and the LF.
inline constexpr std::uint32_t index_line_fixed_units = 11;

struct upload_archive {
    char16_t* index = nullptr;
    std::uint32_t index_capacity = 0;  // UTF-16 units
    std::uint32_t index_length = 0;    // UTF-16 units in use
    unsigned char** file_data = nullptr;
    std::uint32_t* file_sizes = nullptr;
    std::uint32_t file_capacity = 0;
    std::uint32_t file_count = 0;
    std::uint32_t size_warned = 0;
    std::uint32_t count_warned = 0;
    // Set once the warning for files too large for the index format has been printed.
    std::uint32_t format_warned = 0;
    // Bytes of the index, its closing LF and the file data; 64 bits so it can never wrap.
    std::uint64_t body_bytes = 0;
};

// Gives every field its initial value; ends the run when the first buffers cannot be had.
void archive_init(upload_archive& archive);

// Reads exactly `size` bytes of the stream into a new slot. False, with the archive unchanged,
// when they cannot all be read ("filesize incorrect, file ignored") or cannot be held in memory.
bool archive_add_file_data(upload_archive& archive, std::uint32_t size, std::FILE* stream);

// Appends the index line of a file of `size` bytes called `name`. A size that nine digits cannot
// hold is never written: false, and nothing is appended.
bool archive_add_index_entry(upload_archive& archive, std::uint32_t size, wide_view name);

// Sends the index, its closing LF and every held file's bytes on the upload connection. False
// after "send error": the file data did not all go out, and the run goes on to read the answer.
bool archive_send(const upload_archive& archive, socket_handle socket);

// Frees the index, the slot arrays and every held file's buffer.
void archive_release(upload_archive& archive);
