#include "support/scripted_gallery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

void send_everything(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

// Sends the reply; false when the connection has been aborted and nothing more can be read.
bool answer(int fd, const gallery_reply& reply) {
    send_everything(fd, reply.bytes);
    if (reply.reset_after) {
        linger abort_on_close{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        return false;
    }
    if (reply.close_after) ::shutdown(fd, SHUT_WR);
    return true;
}

}  // namespace

std::string http_answer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

gallery_reply limits_reply(const std::string& limits) {
    return gallery_reply{http_answer("200 OK", limits)};
}

gallery_reply answer_reply(const std::string& status, const std::string& body) {
    return gallery_reply{http_answer(status, body)};
}

gallery_reply closing_reply(std::string bytes) {
    gallery_reply reply{std::move(bytes)};
    reply.close_after = true;
    return reply;
}

gallery_reply resetting_reply(std::size_t after_bytes, std::string bytes) {
    gallery_reply reply{std::move(bytes)};
    reply.reset_after = true;
    reply.after_bytes = after_bytes;
    return reply;
}

std::size_t complete_request_length(const std::string& bytes) {
    const std::size_t head_end = bytes.find("\r\n\r\n");
    if (head_end == std::string::npos) return 0;
    const std::size_t head_length = head_end + 4;
    std::size_t body_length = 0;
    const std::string name = "\r\nContent-Length: ";
    const std::size_t at = bytes.find(name);
    if (at != std::string::npos && at < head_end) {
        body_length = std::strtoull(bytes.c_str() + at + name.size(), nullptr, 10);
    }
    return bytes.size() >= head_length + body_length ? head_length + body_length : 0;
}

scripted_gallery::scripted_gallery(std::vector<gallery_reply> replies)
    : script(std::move(replies)) {
    listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (listen_fd < 0 ||
        ::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd, 16) != 0) {
        throw std::runtime_error("scripted gallery cannot listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);

    acceptor = std::thread([this] {
        std::size_t next = 0;
        while (!stopping) {
            pollfd ready{listen_fd, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const std::size_t connection = next++;
            gallery_reply reply;
            reply.when = gallery_reply::moment::never;
            {
                std::lock_guard guard(lock);
                received.emplace_back();
                open_fds.push_back(fd);
                if (connection < script.size()) reply = script[connection];
            }
            handlers.emplace_back([this, fd, connection, reply] {
                bool answered = false;
                bool open = true;
                if (reply.when == gallery_reply::moment::on_connect) {
                    open = answer(fd, reply);
                    answered = true;
                }
                std::string seen;
                char buffer[65536];
                while (open) {
                    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                    if (got < 0 && errno == EINTR) continue;
                    if (got <= 0) break;
                    seen.append(buffer, static_cast<std::size_t>(got));
                    const bool due = reply.after_bytes > 0 ? seen.size() >= reply.after_bytes
                                                           : complete_request_length(seen) != 0;
                    if (!answered && reply.when == gallery_reply::moment::after_request && due) {
                        open = answer(fd, reply);
                        answered = true;
                    }
                }
                std::lock_guard guard(lock);
                std::erase(open_fds, fd);
                ::close(fd);
                received[connection] = std::move(seen);
            });
        }
    });
}

std::string scripted_gallery::address() const { return "127.0.0.1:" + std::to_string(port); }

std::vector<std::string> scripted_gallery::finish(bool end_connections) {
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    if (end_connections) {
        std::lock_guard guard(lock);
        for (int fd : open_fds) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& handler : handlers) handler.join();
    handlers.clear();
    if (listen_fd >= 0) ::close(listen_fd);
    listen_fd = -1;
    std::lock_guard guard(lock);
    return received;
}

scripted_gallery::~scripted_gallery() { finish(); }
