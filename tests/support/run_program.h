// Runs an executable as a child process and collects its exit status and both output streams.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct program_result {
    int exit_code = -1;  // the exit status, or -signal when it was killed by one
    std::string out;
    std::string err;
};

struct program_run {
    std::string executable;
    std::vector<std::string> arguments;  // after the program's own path
    // Variables to set (a value) or to remove (none); the rest of the environment is inherited.
    std::map<std::string, std::optional<std::string>> environment;
    std::string working_directory;  // empty: the test's own
    // Run as an unprivileged user when the tests run as root, so that file permissions apply.
    bool unprivileged = false;
    // When set, the child's address space is limited to this many bytes, so that an
    // allocation too large for the memory there fails as it would on a machine without it.
    std::size_t address_space_limit = 0;
    // Streams that go to a pseudo-terminal of their own instead of a pipe, as when a person runs
    // the program. The terminal passes bytes through unchanged (no CR added before LF), so they
    // can be compared exactly.
    bool output_on_terminal = false;
    bool error_on_terminal = false;
};

// The user and group that an unprivileged run takes.
inline constexpr unsigned unprivileged_id = 65534;

// Waits for the program to end; one that is still running after `hang_guard_seconds` is killed,
// so a hanging client fails its test instead of holding the suite.
program_result run_program(const program_run& run, int hang_guard_seconds = 120);
