// Runs the real nexivane-dev against a scripted gallery, with its settings in a temp folder.
#pragma once

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/scripted_gallery.h"
#include "support/temp_dir.h"

// The client's exact requests, for comparing what the gallery received.
std::string expected_limits_request(const std::string& host);
std::string expected_upload_head(const std::string& host, unsigned long long content_length);
std::string user_agent_text();

// The body's UTF-16LE text for ASCII or UTF-8 text.
std::string utf16le(const std::string& utf8);
// The 22-byte preamble of the default settings: "2.0", "L" and "true", each with its LF.
std::string default_preamble();

struct session_run {
    temp_dir appdata;
    temp_dir work;  // the working directory of the run
    std::vector<std::string> arguments;
    std::map<std::string, std::optional<std::string>> environment;
    bool unprivileged = false;  // see program_run

    // Runs the client against the gallery and returns its result; the gallery is finished, and
    // `connections` holds what each connection carried.
    program_result run(scripted_gallery& gallery);
    std::vector<std::string> connections;
};

std::string dev_executable();
