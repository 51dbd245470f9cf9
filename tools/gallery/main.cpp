// nexivane-gallery: a stand-in for the picture gallery's web site, for developing and testing
// the uploader. It answers the limits query and takes upload archives into a storage folder.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "archive.h"
#include "server.h"
#include "storage.h"

namespace {

using namespace gallery;

constexpr const char* usage =
    "usage: nexivane-gallery --port N --storage DIR [--limits A:F:S] [--host ADDRESS]\n"
    "                        [--idle-timeout S] [--head-timeout S] [--upload-rate B]\n"
    "                        [--upload-minimum S] [--stop-grace S]\n"
    "  --port N            port to listen on; 0 picks a free one\n"
    "  --storage DIR       folder that receives one upload-NNNNNN folder per accepted upload\n"
    "  --limits A:F:S      largest archive in bytes, most files per upload, largest file in\n"
    "                      bytes; -1 means no limit (default 10485760:100:2097152)\n"
    "  --host ADDRESS      address to listen on (default 127.0.0.1)\n"
    "  --idle-timeout S    close a connection silent for S seconds (default 30)\n"
    "  --head-timeout S    close a connection whose request head is not whole S seconds\n"
    "                      after it opened or after its last answer (default 60)\n"
    "  --upload-rate B     an upload has as long as its size takes at B bytes a second\n"
    "                      (default 65536), and at least --upload-minimum seconds\n"
    "  --upload-minimum S  (default 60); one that is not whole by then is dropped\n"
    "  --stop-grace S      on SIGTERM or SIGINT, wait up to S seconds for uploads in\n"
    "                      progress before dropping them (default 10)\n"
    "It takes at most 256 connections from one address and 768 in all, request heads of\n"
    "up to 8 KiB, and bodies of up to 4 KiB on any path but the upload.\n";

constexpr int listen_backlog = 128;
constexpr std::int64_t most_seconds = 86400;

struct options {
    std::string host = "127.0.0.1";
    int port = -1;
    std::string storage;
    server_settings settings;
};

std::optional<std::int64_t> parse_integer(std::string_view text, std::int64_t low,
                                          std::int64_t high) {
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < low || value > high) return std::nullopt;
    return value;
}

std::optional<archive_limits> parse_limits(std::string_view text) {
    std::int32_t values[3];
    for (int i = 0; i < 3; ++i) {
        const std::size_t colon = i < 2 ? text.find(':') : text.size();
        if (colon == std::string_view::npos) return std::nullopt;
        const auto value = parse_integer(text.substr(0, colon), INT32_MIN, INT32_MAX);
        if (!value) return std::nullopt;
        values[i] = static_cast<std::int32_t>(*value);
        text.remove_prefix(i < 2 ? colon + 1 : colon);
    }
    return archive_limits{values[0], values[1], values[2]};
}

// The options that take a whole number, with their ranges.
struct number_option {
    std::string_view name;
    std::int64_t low;
    std::int64_t high;
    const char* meaning;
};

constexpr number_option number_options[] = {
    {"--port", 0, 65535, "a port"},
    {"--idle-timeout", 1, most_seconds, "seconds"},
    {"--head-timeout", 1, most_seconds, "seconds"},
    {"--upload-rate", 1, INT32_MAX, "bytes a second"},
    {"--upload-minimum", 1, most_seconds, "seconds"},
    {"--stop-grace", 0, most_seconds, "seconds"},
};

void set_number(options& out, std::string_view name, std::int64_t value) {
    server_settings& settings = out.settings;
    const auto seconds = static_cast<unsigned>(value);
    if (name == "--port") out.port = static_cast<int>(value);
    if (name == "--idle-timeout") settings.idle_seconds = seconds;
    if (name == "--head-timeout") settings.head_seconds = seconds;
    if (name == "--upload-rate") settings.upload_floor_rate = static_cast<std::uint32_t>(value);
    if (name == "--upload-minimum") settings.upload_minimum_seconds = seconds;
    if (name == "--stop-grace") settings.stop_grace_seconds = seconds;
}

// Returns false with a message when the command line is not usable.
bool parse_options(int argc, char** argv, options& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        const number_option* number = nullptr;
        for (const number_option& option : number_options) {
            if (option.name == name) number = &option;
        }
        if (number == nullptr && name != "--storage" && name != "--host" && name != "--limits") {
            error = "unknown option " + std::string(name);
            return false;
        }
        if (i + 1 == argc) {
            error = "missing value after " + std::string(name);
            return false;
        }
        const std::string_view value = argv[++i];
        if (number != nullptr) {
            const auto parsed = parse_integer(value, number->low, number->high);
            if (!parsed) {
                error = std::string(name) + " takes " + number->meaning + " from " +
                        std::to_string(number->low) + " to " + std::to_string(number->high);
                return false;
            }
            set_number(out, name, *parsed);
        } else if (name == "--storage") {
            out.storage = value;
        } else if (name == "--host") {
            out.host = value;
        } else {
            const auto limits = parse_limits(value);
            if (!limits) {
                error = "the limits must be three 32-bit decimals as A:F:S";
                return false;
            }
            out.settings.limits = *limits;
        }
    }
    if (out.port < 0 || out.storage.empty()) {
        error = "--port and --storage are required";
        return false;
    }
    return true;
}

// The listening socket, bound to the first address the host names; -1 when it cannot be had.
// The port it got is returned in port.
int listen_on(const std::string& host, int& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    // Not SO_REUSEPORT, which would let a second server share a port that is in use.
    if (fd >= 0 &&
        (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
         bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, listen_backlog) != 0)) {
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port = ntohs(bound.ss_family == AF_INET6
                         ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                         : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    std::string error;
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (!parse_options(argc, argv, opts, error)) {
        std::fprintf(stderr, "nexivane-gallery: %s (see --help)\n", error.c_str());
        return 2;
    }

    // A client that goes away mid-response must not end the server.
    signal(SIGPIPE, SIG_IGN);
    // The stop signals are taken by sigwait below; blocked here, before any thread starts, so
    // every thread inherits the mask and none is interrupted by them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    storage_root root;
    if (!open_storage_root(root, opts.storage, error)) {
        std::fprintf(stderr, "nexivane-gallery: %s\n", error.c_str());
        return 1;
    }
    int port = opts.port;
    const int listen_fd = listen_on(opts.host, port);
    if (listen_fd < 0) {
        std::fprintf(stderr, "nexivane-gallery: cannot listen on %s:%d\n", opts.host.c_str(),
                     opts.port);
        return 1;
    }
    gallery_server* server = start_server(opts.settings, root, listen_fd, error);
    if (server == nullptr) {
        std::fprintf(stderr, "nexivane-gallery: %s\n", error.c_str());
        return 1;
    }
    log_line("listening on " + opts.host + ":" + std::to_string(port));

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    stop_server(server);
    close(root.fd);
    return 0;
}
