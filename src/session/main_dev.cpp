// nexivane-dev: the same program, against the gallery named by NEXIVANE_GALLERY (host:port).
#include "session/endpoint.h"
#include "session/session.h"
#include "support/console.h"

int NEXIVANE_MAIN(int argc, native_char** argv) {
    const auto text = env_get(gallery_variable);
    const auto endpoint = text ? parse_gallery_endpoint(*text) : std::nullopt;
    if (!endpoint) fatal(u"set NEXIVANE_GALLERY to the gallery's host:port");
    return run_upload_session(*endpoint, command_line_arguments(argc, argv));
}
