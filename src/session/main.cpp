// nexivane: uploads the given files and directories to the gallery fixed at build time.
#include "session/endpoint.h"
#include "session/session.h"

int NEXIVANE_MAIN(int argc, native_char** argv) {
    return run_upload_session(built_in_gallery(), command_line_arguments(argc, argv));
}
