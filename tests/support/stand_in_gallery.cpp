#include "support/stand_in_gallery.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

std::string stand_in_gallery_executable() { return NEXIVANE_GALLERY_EXE; }

stand_in_gallery::stand_in_gallery(const std::string& storage,
                                   const std::vector<std::string>& extra) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args{stand_in_gallery_executable(), "--port", "0", "--storage",
                                  storage};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    output_fd = out[0];
    std::string line;
    char c = 0;
    while (::read(output_fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("gallery did not start: " + line);
    address = line.substr(prefix.size());
}

stand_in_gallery::~stand_in_gallery() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    if (output_fd >= 0) ::close(output_fd);
}
