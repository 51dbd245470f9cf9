#include "support/run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> child_environment(const program_run& run) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (run.environment.count(name) == 0) result.push_back(text);
    }
    for (const auto& [name, value] : run.environment) {
        if (value) result.push_back(name + "=" + *value);
    }
    return result;
}

// A pseudo-terminal in place of a pipe: [0] the side the test reads, [1] the program's side.
void open_terminal(int ends[2]) {
    ends[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ends[0] < 0 || ::grantpt(ends[0]) != 0 || ::unlockpt(ends[0]) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const char* name = ::ptsname(ends[0]);
    ends[1] = name == nullptr ? -1 : ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (ends[1] < 0 || ::tcgetattr(ends[1], &settings) != 0) {
        throw std::runtime_error("pseudo-terminal cannot be opened");
    }
    ::cfmakeraw(&settings);
    ::tcsetattr(ends[1], TCSANOW, &settings);
}

void open_stream(int ends[2], bool terminal) {
    if (terminal) {
        open_terminal(ends);
    } else if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

}  // namespace

program_result run_program(const program_run& run, int hang_guard_seconds) {
    int out_pipe[2];
    int err_pipe[2];
    open_stream(out_pipe, run.output_on_terminal);
    open_stream(err_pipe, run.error_on_terminal);
    std::vector<std::string> argv_text{run.executable};
    argv_text.insert(argv_text.end(), run.arguments.begin(), run.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = child_environment(run);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        const int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in >= 0) ::dup2(null_in, 0);
        if (run.unprivileged && ::getuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(unprivileged_id) != 0 ||
             ::setuid(unprivileged_id) != 0)) {
            ::_exit(125);
        }
        if (run.address_space_limit != 0) {
            const rlimit limit{run.address_space_limit, run.address_space_limit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (!run.working_directory.empty() && ::chdir(run.working_directory.c_str()) != 0) {
            ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);

    program_result result;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(hang_guard_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    bool killed = false;
    while (open_count > 0) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        const int ready = ::poll(fds, 2, 200);
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exit_code = -WTERMSIG(status);
    return result;
}
