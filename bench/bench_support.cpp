#include "bench_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <vector>

#include "bare_socket.h"
#include "http/connection.h"
#include "http/limits.h"
#include "support/scripted_gallery.h"

namespace fs = std::filesystem;

fs::path generated_tree(const std::string& name, int files, std::size_t file_size, int folders) {
    const fs::path root = fs::temp_directory_path() / ("nexivane-bench-" + name);
    const fs::path done = root / ".complete";
    if (fs::exists(done)) return root / "tree";
    fs::remove_all(root);
    std::string bytes(file_size, '\0');
    for (std::size_t i = 0; i < file_size; ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    for (int i = 0; i < files; ++i) {
        fs::path dir = root / "tree";
        if (folders > 0) dir /= "d" + std::to_string(i % folders);
        fs::create_directories(dir);
        std::ofstream(dir / ("p" + std::to_string(i) + ".jpg"), std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::ofstream(done).put('\n');
    return root / "tree";
}

discarding_sink::discarding_sink() {
    listen_fd = listen_on_loopback(port);
    if (listen_fd < 0) throw std::runtime_error("sink cannot listen");
    thread = std::thread([fd = listen_fd] {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const int connection = ::accept(fd, nullptr, nullptr);
            if (connection < 0) return;
            while (::read(connection, buffer.data(), buffer.size()) > 0) {
            }
            ::close(connection);
        }
    });
}

discarding_sink::~discarding_sink() {
    ::shutdown(listen_fd, SHUT_RDWR);
    ::close(listen_fd);
    thread.join();
}

socket_handle connect_to_sink(const discarding_sink& sink) {
    return net_connect_ipv4(htonl(INADDR_LOOPBACK), sink.port);
}

void open_fed_answer(fed_answer& fed, const std::string& answer) {
    std::uint16_t port = 0;
    const int listen_fd = listen_on_loopback(port);
    if (listen_fd < 0) throw std::runtime_error("cannot listen on loopback");
    fed.reader = net_connect_ipv4(htonl(INADDR_LOOPBACK), port);
    fed.peer = ::accept(listen_fd, nullptr, nullptr);
    ::close(listen_fd);
    if (fed.reader == no_socket || fed.peer < 0) throw std::runtime_error("cannot connect");
    fed.writer = std::thread([fd = fed.peer, &answer] {
        send_whole(fd, answer.data(), answer.size());
        ::shutdown(fd, SHUT_WR);
    });
}

void close_fed_answer(fed_answer& fed) {
    if (fed.reader != no_socket) ::close(static_cast<int>(fed.reader));
    if (fed.writer.joinable()) fed.writer.join();
    if (fed.peer >= 0) ::close(fed.peer);
    fed.reader = no_socket;
    fed.peer = -1;
}

void use_limits(const std::string& limits) {
    scripted_gallery gallery({limits_reply(limits)});
    set_gallery_endpoint({"127.0.0.1", gallery.port});
    forget_upload_limits();
    get_upload_limits();
    gallery.finish(true);
}

void wall_time_after_warm_up(benchmark::internal::Benchmark* benchmark) {
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->MinWarmUpTime(0.2);
}
