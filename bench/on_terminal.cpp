// Runs a command with its standard error on a pseudo-terminal of its own, as when a person runs
// it, and throws away what it writes: for timing the client with its status line shown. The
// command inherits this program's environment.
//
//   nexivane-on-terminal PROGRAM [ARGUMENT ...]     exits with the program's status
#include <cstdio>

#include "support/run_program.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: nexivane-on-terminal PROGRAM [ARGUMENT ...]\n");
        return 2;
    }
    program_run run;
    run.executable = argv[1];
    run.arguments.assign(argv + 2, argv + argc);
    run.error_on_terminal = true;
    // Far longer than any benchmark run: only a hung client is stopped.
    const program_result result = run_program(run, 3600);
    return result.exit_code < 0 ? 1 : result.exit_code;
}
