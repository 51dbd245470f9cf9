// The gallery's three upload limits, asked for once per process on a connection of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Compared as unsigned numbers by their users, so a reply value of -1 means no limit.
struct upload_limits {
    std::uint32_t max_archive_bytes = 0;
    std::uint32_t max_files = 0;
    std::uint32_t max_file_bytes = 0;
};

// The cached limits; the first call asks the gallery and ends the run with status 1 when the
// answer cannot be used.
upload_limits get_upload_limits();

// Reads a reply body "%d:%d:%d". Each number may have white space and a sign before it, each
// colon must follow its number directly, and anything after the third number is ignored.
// Values from -2147483648 to 4294967295 are kept as their 32-bit pattern; others are refused.
std::optional<upload_limits> parse_limits(std::string_view body);

// Makes the next get_upload_limits ask the gallery again (for tests of the query itself).
void forget_upload_limits();
