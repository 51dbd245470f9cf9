// The client's own names: the version goes into the User-Agent, the settings file and the first
// line of every archive.
#pragma once

#include <string_view>

inline constexpr std::string_view product_name = "Nexivane";
inline constexpr std::string_view client_version = "2.0";
