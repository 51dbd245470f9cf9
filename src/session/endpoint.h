// Where each executable finds the gallery: fixed when the program is built, or, for the
// developer build, from the environment.
#pragma once

#include <optional>
#include <string_view>

#include "http/connection.h"

gallery_endpoint built_in_gallery();

// "host:port" with a non-empty host and a port from 1 to 65535.
std::optional<gallery_endpoint> parse_gallery_endpoint(std::string_view text);

inline constexpr char gallery_variable[] = "NEXIVANE_GALLERY";
