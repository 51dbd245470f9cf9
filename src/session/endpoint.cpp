#include "session/endpoint.h"

#ifndef NEXIVANE_GALLERY_HOST
#error "NEXIVANE_GALLERY_HOST is set when the program is built"
#endif
#ifndef NEXIVANE_GALLERY_PORT
#error "NEXIVANE_GALLERY_PORT is set when the program is built"
#endif

gallery_endpoint built_in_gallery() { return {NEXIVANE_GALLERY_HOST, NEXIVANE_GALLERY_PORT}; }

std::optional<gallery_endpoint> parse_gallery_endpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view port_text = text.substr(colon + 1);
    if (port_text.empty() || port_text.size() > 5) return std::nullopt;
    unsigned port = 0;
    for (char c : port_text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    return gallery_endpoint{std::string(text.substr(0, colon)), static_cast<std::uint16_t>(port)};
}
