// UTF-8 and UTF-16 without loss: a byte that is not part of valid UTF-8 becomes the lone unit
// 0xDC00 + byte, and turns back into that byte, so any byte string survives the round trip.
#pragma once

#include <string>
#include <string_view>

// A byte that is not part of valid UTF-8 becomes this unit plus the byte.
inline constexpr char16_t utf8_byte_escape_base = 0xDC00;

std::u16string utf8_to_utf16(std::string_view bytes);

// Lone units 0xDC80..0xDCFF become their bytes again; other lone surrogates are written as
// three-byte sequences, so nothing is dropped.
std::string utf16_to_utf8(std::u16string_view text);
