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

// A client built for another platform, run through the wrapper that NEXIVANE_TEST_DEV_EXE names,
// is described by the environment: NEXIVANE_TEST_DEV_SYSTEM is the system its User-Agent names
// (e.g. "Windows NT 6.1"), NEXIVANE_TEST_DEV_CODE_PAGE its narrow code page (only "1252" is
// known). Without them the client is this platform's own.
std::string user_agent_text();
// Whether the client under test is a Windows build (run under Wine).
bool client_is_windows();
// The line end the client under test writes into its text files: CR LF for a Windows client.
std::string client_line_end();
// The UTF-8 bytes that standard error carries for the gallery's narrow text `bytes`, as the
// client under test converts it: here bytes come back as they were, UTF-8 or not; a Windows
// client converts them by its ANSI code page.
std::string printed_narrow(const std::string& bytes);

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
    bool output_on_terminal = false;
    bool error_on_terminal = false;

    // Runs the client against the gallery and returns its result; the gallery is finished, and
    // `connections` holds what each connection carried.
    program_result run(scripted_gallery& gallery);
    std::vector<std::string> connections;
};

std::string dev_executable();
