#include "support/session_run.h"

#include <cstdlib>

#include "platform/platform.h"
#include "platform/utf8.h"

std::string dev_executable() {
    // A wrapper (for another platform's build) can be named by the environment.
    if (const char* chosen = std::getenv("NEXIVANE_TEST_DEV_EXE")) return chosen;
    return NEXIVANE_DEV_EXE;
}

std::string user_agent_text() { return "Nexivane/2.0 (" + os_version_text() + ")"; }

std::string expected_limits_request(const std::string& host) {
    return "GET /add/limits.aspx HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: " + user_agent_text() + "\r\n\r\n";
}

std::string expected_upload_head(const std::string& host, unsigned long long content_length) {
    return "POST /add/Client.aspx HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: " + user_agent_text() +
           "\r\nContent-Length: " + std::to_string(content_length) +
           "\r\nContent-Type: application/octet-stream; charset=utf-16\r\n\r\n";
}

std::string utf16le(const std::string& utf8) {
    std::string bytes;
    for (char16_t unit : utf8_to_utf16(utf8)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string default_preamble() { return utf16le("2.0\nL\ntrue\n"); }

program_result session_run::run(scripted_gallery& gallery) {
    program_run child;
    child.executable = dev_executable();
    child.arguments = arguments;
    child.environment = environment;
    child.environment.emplace("NEXIVANE_GALLERY", gallery.address());
    child.environment.emplace("APPDATA", appdata.str());
    child.working_directory = work.str();
    child.unprivileged = unprivileged;
    program_result result = run_program(child);
    connections = gallery.finish();
    return result;
}
