// The floor that the mandated send pieces of 1024 bytes set for a whole upload: a bare client
// that sends a saved head and body (as nexivane-upload-sink --save-head and --save kept them)
// as one POST, the body from one buffer in pieces of 1024 bytes, then prints the answer's body.
// Nothing is walked, read or built: all it does besides the sends of the client is map one file.
//
//   nexivane-send-floor HOST:PORT HEAD_FILE BODY_FILE     exit status 1 on any failure
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bare_socket.h"

namespace {

constexpr std::size_t send_piece = 1024;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "nexivane-send-floor: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

struct file_bytes {
    const char* data = nullptr;
    std::size_t size = 0;
};

// The file's pages mapped in place and populated before the first send, so that holding the
// body costs next to nothing and the sends are what is timed.
file_bytes map_whole(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) fail(path);
    if (info.st_size <= 0) {
        errno = EINVAL;
        fail(path);
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (mapped == MAP_FAILED) fail(path);
    ::close(fd);
    return {static_cast<const char*>(mapped), size};
}

void send_all(int fd, const char* data, std::size_t size) {
    if (!send_whole(fd, data, size)) fail("send");
}

int connect_to(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    sockaddr_in target{};
    target.sin_family = AF_INET;
    char* end = nullptr;
    const unsigned long port =
        colon == std::string::npos ? 0 : std::strtoul(address.c_str() + colon + 1, &end, 10);
    if (port == 0 || port > 65535 || *end != '\0' ||
        ::inet_pton(AF_INET, address.substr(0, colon).c_str(), &target.sin_addr) != 1) {
        errno = EINVAL;
        fail(address.c_str());
    }
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        fail("connect");
    }
    return fd;
}

// The answer's head up to its empty line, then its body of the announced length.
std::string read_answer(int fd) {
    std::string answer;
    char buffer[4096];
    std::size_t body_start = std::string::npos;
    std::size_t wanted = 0;
    for (;;) {
        if (body_start == std::string::npos) {
            const std::size_t end = answer.find("\r\n\r\n");
            if (end != std::string::npos) {
                body_start = end + 4;
                const std::size_t field = answer.find("\r\nContent-Length: ");
                if (field != std::string::npos && field < end) {
                    wanted = std::strtoull(answer.c_str() + field + 18, nullptr, 10);
                }
            }
        }
        if (body_start != std::string::npos && answer.size() - body_start >= wanted) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) fail("answer cut short");
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer.substr(body_start, wanted);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: nexivane-send-floor HOST:PORT HEAD_FILE BODY_FILE\n");
        return 1;
    }
    const file_bytes head = map_whole(argv[2]);
    const file_bytes body = map_whole(argv[3]);
    const int fd = connect_to(argv[1]);
    // The head goes out as one item: its few sends would cost nothing beside the body's pieces.
    send_all(fd, head.data, head.size);
    for (std::size_t offset = 0; offset < body.size; offset += send_piece) {
        const std::size_t piece = body.size - offset < send_piece ? body.size - offset : send_piece;
        send_all(fd, body.data + offset, piece);
    }
    const std::string answer = read_answer(fd);
    ::close(fd);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return 0;
}
