// A loopback gallery for the session benchmark: answers the limits query with no limits, reads
// each upload's body as fast as it comes and throws it away (or keeps the first upload's body
// and head in files, so other clients can send the very same bytes), then answers 200.
//
//   nexivane-upload-sink [--save BODY_FILE] [--save-head HEAD_FILE]
//
// It prints "listening on 127.0.0.1:PORT" first.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bare_socket.h"

namespace {

std::atomic<bool> saved{false};
const char* save_path = nullptr;
const char* save_head_path = nullptr;

void save_bytes(const char* path, const std::string& bytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

void send_text(int fd, const std::string& text) { send_whole(fd, text.data(), text.size()); }

void serve(int fd) {
    std::vector<char> buffer(1 << 20);
    std::string head;
    for (;;) {
        head.clear();
        std::string rest;
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0) return ::close(fd), void();
            head.append(buffer.data(), static_cast<std::size_t>(n));
        }
        const std::size_t end = head.find("\r\n\r\n") + 4;
        rest = head.substr(end);
        head.resize(end);
        if (head.rfind("GET ", 0) == 0) {
            send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n-1:-1:-1");
            continue;
        }
        const char* length_field = std::strstr(head.c_str(), "\r\nContent-Length: ");
        unsigned long long wanted =
            length_field != nullptr ? std::strtoull(length_field + 18, nullptr, 10) : 0;
        std::FILE* keep = nullptr;
        if ((save_path != nullptr || save_head_path != nullptr) && !saved.exchange(true)) {
            if (save_head_path != nullptr) save_bytes(save_head_path, head);
            if (save_path != nullptr) keep = std::fopen(save_path, "wb");
        }
        unsigned long long got = rest.size();
        if (keep != nullptr) std::fwrite(rest.data(), 1, rest.size(), keep);
        while (got < wanted) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0) break;
            if (keep != nullptr) std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), keep);
            got += static_cast<unsigned long long>(n);
        }
        if (keep != nullptr) std::fclose(keep);
        const std::string answer = "received " + std::to_string(got) + " bytes\n";
        send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                          "\r\n\r\n" + answer);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--save") == 0) save_path = argv[i + 1];
        if (std::strcmp(argv[i], "--save-head") == 0) save_head_path = argv[i + 1];
    }
    std::uint16_t port = 0;
    const int listen_fd = listen_on_loopback(port);
    if (listen_fd < 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", port);
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listen_fd, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread(serve, fd).detach();
    }
}
