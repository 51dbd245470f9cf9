#include "support/session_run.h"

#include <cstdlib>
#include <stdexcept>

#include "platform/platform.h"
#include "platform/utf8.h"

std::string dev_executable() {
    // A wrapper (for another platform's build) can be named by the environment.
    if (const char* chosen = std::getenv("NEXIVANE_TEST_DEV_EXE")) return chosen;
    return NEXIVANE_DEV_EXE;
}

std::string user_agent_text() {
    const char* system = std::getenv("NEXIVANE_TEST_DEV_SYSTEM");
    return "Nexivane/2.0 (" + (system != nullptr ? std::string(system) : os_version_text()) + ")";
}

bool client_is_windows() {
    const char* system = std::getenv("NEXIVANE_TEST_DEV_SYSTEM");
    return system != nullptr && std::string_view(system).starts_with("Windows");
}

std::string client_line_end() { return client_is_windows() ? "\r\n" : "\n"; }

std::string printed_narrow(const std::string& bytes) {
    const char* code_page = std::getenv("NEXIVANE_TEST_DEV_CODE_PAGE");
    if (code_page == nullptr) return utf16_to_utf8(utf8_to_utf16(bytes));
    if (std::string(code_page) != "1252") {
        throw std::runtime_error("unknown NEXIVANE_TEST_DEV_CODE_PAGE " + std::string(code_page));
    }
    // Windows-1252 is Latin-1 but for 0x80..0x9F; the five bytes it leaves unassigned convert
    // to the control characters of the same number.
    static constexpr char16_t high_controls[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::u16string text;
    for (unsigned char byte : bytes) {
        text.push_back(byte >= 0x80 && byte < 0xA0 ? high_controls[byte - 0x80] : byte);
    }
    return utf16_to_utf8(text);
}

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
    child.output_on_terminal = output_on_terminal;
    child.error_on_terminal = error_on_terminal;
    program_result result = run_program(child);
    connections = gallery.finish();
    return result;
}
