// Runs a command with its standard error on a pseudo-terminal of its own, as when a person runs
// it, and throws away what it writes there: for timing the client with its status line shown.
//
//   nexivane-on-terminal COMMAND [ARGUMENT ...]     exits with the command's status
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: nexivane-on-terminal COMMAND [ARGUMENT ...]\n");
        return 2;
    }
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0
                           ? nullptr
                           : ::ptsname(terminal);
    const int program_side = name == nullptr ? -1 : ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (program_side < 0) {
        std::fprintf(stderr, "nexivane-on-terminal: no pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(program_side, STDERR_FILENO);
        ::execvp(argv[1], argv + 1);
        ::_exit(127);
    }
    ::close(program_side);
    char buffer[4096];
    // The terminal reports an error once the program's side is closed by every process.
    while (::read(terminal, buffer, sizeof buffer) > 0 || errno == EINTR) {
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
