// The client's own names: the version goes into the User-Agent, the settings file and the first
// line of every archive.
#pragma once

#include <string_view>

// The project's version in CMakeLists.txt, which the package and the manual page carry too.
#ifndef NEXIVANE_VERSION
#error "NEXIVANE_VERSION is set when the program is built"
#endif

inline constexpr std::string_view product_name = "Nexivane";
inline constexpr std::string_view client_version = NEXIVANE_VERSION;
