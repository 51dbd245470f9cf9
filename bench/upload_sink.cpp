// A loopback gallery for the session benchmark: answers the limits query with no limits, reads
// each upload's body as fast as it comes and throws it away (or keeps the first in a file, so
// other clients can send the very same bytes), then answers 200.
//
//   nexivane-upload-sink [--save FILE]     prints "listening on 127.0.0.1:PORT" first
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> saved{false};
const char* save_path = nullptr;

void send_text(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

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
        if (save_path != nullptr && !saved.exchange(true)) keep = std::fopen(save_path, "wb");
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
    if (argc == 3 && std::strcmp(argv[1], "--save") == 0) save_path = argv[2];
    const int listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd, 64) != 0) {
        std::perror("listen");
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listen_fd, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread(serve, fd).detach();
    }
}
