#include "gallery_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Spawns the server with stdout on a pipe; returns the pid and the pipe's read end.
pid_t spawn_gallery(const std::vector<std::string>& arguments, int& output_fd) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    std::vector<std::string> all{NEXIVANE_GALLERY_EXE};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, NEXIVANE_GALLERY_EXE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (spawned != 0) {
        close(pipe_fds[0]);
        return -1;
    }
    output_fd = pipe_fds[0];
    return pid;
}

std::string read_to_end(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

running_gallery::~running_gallery() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (drain.joinable()) drain.join();
    if (output_fd >= 0) close(output_fd);
}

std::unique_ptr<running_gallery> start_gallery(const fs::path& storage,
                                               const std::vector<std::string>& extra) {
    auto gallery = std::make_unique<running_gallery>();
    std::vector<std::string> arguments{"--port", "0", "--storage", storage.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    gallery->pid = spawn_gallery(arguments, gallery->output_fd);
    if (gallery->pid < 0) {
        ADD_FAILURE() << "cannot start " << NEXIVANE_GALLERY_EXE;
        return gallery;
    }
    char c = 0;
    while (read(gallery->output_fd, &c, 1) == 1 && c != '\n') gallery->first_line += c;

    constexpr std::string_view prefix = "listening on 127.0.0.1:";
    if (gallery->first_line.starts_with(prefix)) {
        gallery->port = std::atoi(gallery->first_line.c_str() + prefix.size());
    }
    if (gallery->port <= 0) {
        ADD_FAILURE() << "unexpected first line: \"" << gallery->first_line << "\"";
        return gallery;
    }
    running_gallery* raw = gallery.get();
    gallery->drain = std::thread([raw] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(raw->output_fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            const std::lock_guard<std::mutex> lock(raw->output_mutex);
            raw->output.append(buffer, static_cast<std::size_t>(n));
        }
    });
    return gallery;
}

stopped_gallery stop_gallery(running_gallery& gallery, int signal_number) {
    if (gallery.pid > 0) kill(gallery.pid, signal_number);
    return wait_for_exit(gallery);
}

stopped_gallery wait_for_exit(running_gallery& gallery) {
    stopped_gallery stopped;
    if (gallery.pid <= 0) {
        ADD_FAILURE() << "the gallery is not running";
        return stopped;
    }
    waitpid(gallery.pid, &stopped.wait_status, 0);
    gallery.pid = -1;
    if (gallery.drain.joinable()) gallery.drain.join();
    const std::lock_guard<std::mutex> lock(gallery.output_mutex);
    stopped.output = gallery.output;
    return stopped;
}

finished_program run_gallery_to_end(const std::vector<std::string>& arguments) {
    finished_program finished;
    int output_fd = -1;
    const pid_t pid = spawn_gallery(arguments, output_fd);
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << NEXIVANE_GALLERY_EXE;
        return finished;
    }
    finished.output = read_to_end(output_fd);
    close(output_fd);
    waitpid(pid, &finished.wait_status, 0);
    return finished;
}

namespace {

sockaddr_in loopback_address(const char* text, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

// No test waits on a socket for longer than this: far beyond any time limit the tests give the
// server, and still an end to a test whose server went quiet.
void limit_waits(int fd) {
    const timeval wait{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

}  // namespace

http_connection::http_connection(int port, const char* source_address) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ADD_FAILURE() << "cannot make a socket: " << std::strerror(errno);
        return;
    }
    limit_waits(fd);
    const sockaddr_in source = loopback_address(source_address, 0);
    const sockaddr_in address = loopback_address("127.0.0.1", port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to port " << port << " from " << source_address << ": "
                      << std::strerror(errno);
    }
}

http_connection::~http_connection() {
    if (fd >= 0) close(fd);
}

void send_bytes(http_connection& connection, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "send failed: " << std::strerror(errno);
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

// Reads more bytes into pending; false at the end of the stream.
bool read_more(http_connection& connection) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(connection.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        connection.pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
}

}  // namespace

http_reply read_reply(http_connection& connection) {
    http_reply reply;
    std::size_t head_end;
    while ((head_end = connection.pending.find("\r\n\r\n")) == std::string::npos) {
        if (!read_more(connection)) {
            ADD_FAILURE() << "the connection ended before a reply head";
            return reply;
        }
    }
    reply.head = connection.pending.substr(0, head_end + 2);
    connection.pending.erase(0, head_end + 4);
    if (!reply.head.starts_with("HTTP/1.1 ") || reply.head.size() < 12) {
        ADD_FAILURE() << "bad status line in " << reply.head;
        return reply;
    }
    reply.status = std::atoi(reply.head.c_str() + 9);
    std::size_t length = 0;
    std::size_t line_start = reply.head.find("\r\n") + 2;
    while (line_start < reply.head.size()) {
        const std::size_t line_end = reply.head.find("\r\n", line_start);
        const std::string line = reply.head.substr(line_start, line_end - line_start);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && lowercase(line.substr(0, colon)) == "content-length") {
            reply.has_content_length = true;
            length = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
        }
        line_start = line_end + 2;
    }
    while (connection.pending.size() < length) {
        if (!read_more(connection)) {
            ADD_FAILURE() << "the connection ended inside a reply body";
            return reply;
        }
    }
    reply.body = connection.pending.substr(0, length);
    connection.pending.erase(0, length);
    return reply;
}

http_reply round_trip(int port, std::string_view request) {
    http_connection connection(port);
    send_bytes(connection, request);
    return read_reply(connection);
}

std::size_t send_until_refused(http_connection& connection, std::string_view start,
                               std::string_view filler, std::size_t most) {
    std::size_t sent = 0;
    const auto push = [&](std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    };
    if (!push(start)) return sent;
    while (sent < most && push(filler)) {
    }
    return sent;
}

bool ends_without_answer(http_connection& connection) {
    bool answered = !connection.pending.empty();
    char buffer[4096];
    for (;;) {
        const ssize_t n = recv(connection.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) {
            answered = true;
            continue;
        }
        // A wait that ran out is not an end.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        return !answered;
    }
}

int status_before_end(http_connection& connection) {
    while (read_more(connection)) {
    }
    const std::string& text = connection.pending;
    if (!text.starts_with("HTTP/1.1 ") || text.size() < 12) return 0;
    return std::atoi(text.c_str() + 9);
}

bool closed_already(http_connection& connection) {
    char byte = 0;
    const ssize_t n = recv(connection.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool refuses_connections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback_address("127.0.0.1", port);
    const bool refused =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED;
    close(fd);
    return refused;
}

void wait_for_output(running_gallery& gallery, std::string_view text, std::size_t times) {
    const auto count = [&] {
        const std::lock_guard<std::mutex> lock(gallery.output_mutex);
        std::size_t found = 0;
        for (std::size_t at = gallery.output.find(text); at != std::string::npos;
             at = gallery.output.find(text, at + text.size())) {
            ++found;
        }
        return found;
    };
    for (int tries = 0; tries < 6000; ++tries) {
        if (count() >= times) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::lock_guard<std::mutex> lock(gallery.output_mutex);
    ADD_FAILURE() << "the log never said \"" << text << "\" " << times << " times; it holds:\n"
                  << gallery.output;
}

memory_use memory_of(pid_t pid) {
    memory_use use;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) use.resident_kib = std::atol(line.c_str() + 6);
        if (line.starts_with("VmHWM:")) use.peak_kib = std::atol(line.c_str() + 6);
    }
    if (use.resident_kib == 0 || use.peak_kib == 0)
        ADD_FAILURE() << "no memory figures for " << pid;
    return use;
}

std::string get_request(std::string_view path) {
    return "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::string upload_request(std::string_view body, std::string_view content_type) {
    return "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nContent-Type: " + std::string(content_type) +
           "\r\n\r\n" + std::string(body);
}

std::string utf16le(std::u16string_view text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string make_archive(const std::vector<archive_file>& files, std::u16string_view codes,
                         std::u16string_view flag) {
    std::u16string head = u"2.0\n" + std::u16string(codes) + u"\n" + std::u16string(flag) + u"\n";
    std::string data;
    for (const archive_file& file : files) {
        char size[16];
        std::snprintf(size, sizeof size, "%09zu:", file.data.size());
        for (const char* c = size; *c; ++c) head += static_cast<char16_t>(*c);
        head += file.name + u"\n";
        data += file.data;
    }
    head += u"\n";
    return utf16le(head) + data;
}

std::string pattern_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string folder_of(const http_reply& reply) {
    std::string body = reply.body;
    if (body.ends_with('\n')) body.pop_back();
    return body.substr(body.rfind(' ') + 1);
}

bool exited_with(int wait_status, int code) {
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

std::map<std::string, std::string> read_folder(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || entry.is_symlink()) {
            ADD_FAILURE() << name << " in " << folder << " is not a plain file";
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        files[name] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

std::vector<std::string> top_entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> list_tree(const fs::path& root) {
    std::vector<std::string> paths;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        std::string path = fs::relative(entry.path(), root).string();
        if (entry.is_directory()) path += '/';
        paths.push_back(path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}
