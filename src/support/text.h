// Narrow text (HTTP head lines, the settings file, the gallery's replies) turned into the UTF-16
// text of file names, the archive and messages. The one conversion from narrow to wide.
#pragma once

#include <string_view>

#include "platform/platform.h"

wide_string to_wide(std::string_view narrow);

// The text of a C string up to its first zero byte: what the gallery's text answers mean.
std::string_view text_before_zero(const char* bytes, std::size_t length);
