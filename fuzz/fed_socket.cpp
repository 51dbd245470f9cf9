#include "fed_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Sends from `pos` until the bytes are out or the reader has gone; `wait` says whether a full
// buffer may block.
std::size_t send_bytes(int fd, const std::uint8_t* data, std::size_t size, std::size_t pos,
                       bool wait) {
    const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    while (pos < size) {
        const ssize_t sent = ::send(fd, data + pos, size - pos, flags);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) break;
        pos += static_cast<std::size_t>(sent);
    }
    return pos;
}

}  // namespace

void open_fed_socket(fed_socket& fed, const std::uint8_t* data, std::size_t size) {
    int fds[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair");
    fed.reader = fds[0];
    fed.gallery = fds[1];
    const std::size_t sent = send_bytes(fed.gallery, data, size, 0, false);
    if (sent == size) {
        ::shutdown(fed.gallery, SHUT_WR);
        return;
    }
    fed.writer = std::thread([fd = fed.gallery, data, size, sent] {
        send_bytes(fd, data, size, sent, true);
        ::shutdown(fd, SHUT_WR);
    });
}

socket_handle reader_handle(const fed_socket& fed) {
    return static_cast<socket_handle>(fed.reader);
}

void close_fed_socket(fed_socket& fed) {
    if (fed.reader >= 0) ::close(fed.reader);
    if (fed.writer.joinable()) fed.writer.join();
    if (fed.gallery >= 0) ::close(fed.gallery);
    fed.reader = -1;
    fed.gallery = -1;
}

// A gallery can announce a body of up to 2 GiB, and the reader asks malloc for all of it at once:
// cheap for the client, whose pages cost nothing until bytes arrive, but AddressSanitizer writes
// the shadow of the whole block when it is freed, which slows a run to a few inputs a second.
// Blocks over 64 MiB are refused here, as on a machine short of memory: announced lengths below
// that still take the path where the block is had and the body is cut short, and those above it
// take the reader's path for a refused block.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

void require(bool holds, const char* what) {
    if (holds) return;
    std::printf("fuzz check failed: %s\n", what);
    std::fflush(stdout);
    std::abort();
}
