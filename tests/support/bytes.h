// Byte strings written as literals in tests, zero bytes included.
#pragma once

#include <cstddef>
#include <string>

template <std::size_t n>
std::string bytes_of(const char (&literal)[n]) {
    return std::string(literal, n - 1);
}
