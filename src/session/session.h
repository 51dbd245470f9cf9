// One run of the program is one upload session, in a fixed order: start the socket library,
// ask for the limits, load the settings, connect, pack every path, send the head and the
// archive, print the gallery's answer.
#pragma once

#include <cstdint>
#include <vector>

#include "http/connection.h"
#include "platform/platform.h"

// The whole run against the gallery at `endpoint`; `arguments` starts with the program's own
// path. Returns the exit status.
int run_upload_session(const gallery_endpoint& endpoint, const std::vector<wide_string>& arguments);

// The announced length: the archive's count plus the preamble, in 64 bits so it never wraps.
std::uint64_t announced_length(std::uint64_t body_bytes, wide_view codes, wide_view flag);

// Reads the gallery's answer to the upload: a 200 body goes to standard output unchanged,
// anything else to standard error as one line (on a terminal, with its control characters shown
// as "?"). False when no answer came back whole: nothing that reads as one, or a body cut short.
bool report_response(socket_handle socket);
