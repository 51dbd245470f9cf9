// nexivane-gallery: a stand-in for the picture gallery's web site, for developing and testing
// the uploader. It answers the limits query and takes upload archives into a storage folder.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "archive.h"
#include "storage.h"
#include "upload.h"

namespace {

using namespace gallery;

constexpr const char* usage =
    "usage: nexivane-gallery --port N --storage DIR [--limits A:F:S] [--host ADDRESS]\n"
    "  --port N        port to listen on; 0 picks a free one\n"
    "  --storage DIR   folder that receives one upload-NNNNNN folder per accepted upload\n"
    "  --limits A:F:S  largest archive in bytes, most files per upload, largest file in bytes;\n"
    "                  -1 means no limit (default 10485760:100:2097152)\n"
    "  --host ADDRESS  address to listen on (default 127.0.0.1)\n";

constexpr const char* upload_path = "/add/Client.aspx";
// Route patterns are regular expressions; the dots must not match any character.
constexpr const char* limits_pattern = R"(/add/limits\.aspx)";
constexpr const char* upload_pattern = R"(/add/Client\.aspx)";

// Enough workers that clients holding kept-alive connections do not starve the others.
constexpr std::size_t worker_count = 16;
constexpr std::size_t requests_per_connection = 100;
// The uploader connects first and walks its folders before it sends a byte, and it reads files
// between sends; the library's few seconds would drop such a connection.
constexpr time_t first_byte_wait_seconds = 300;
constexpr time_t read_wait_seconds = 60;

struct options {
    std::string host = "127.0.0.1";
    int port = -1;
    std::string storage;
    archive_limits limits;
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

// Returns false with a message when the command line is not usable.
bool parse_options(int argc, char** argv, options& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name != "--port" && name != "--storage" && name != "--host" && name != "--limits") {
            error = "unknown option " + std::string(name);
            return false;
        }
        if (i + 1 == argc) {
            error = "missing value after " + std::string(name);
            return false;
        }
        const std::string_view value = argv[++i];
        if (name == "--port") {
            const auto port = parse_integer(value, 0, 65535);
            if (!port) {
                error = "the port must be a number from 0 to 65535";
                return false;
            }
            out.port = static_cast<int>(*port);
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
            out.limits = *limits;
        }
    }
    if (out.port < 0 || out.storage.empty()) {
        error = "--port and --storage are required";
        return false;
    }
    return true;
}

std::mutex log_mutex;

// Whole lines, flushed at once, so scripts reading the log see each request as it ends.
void log_line(const std::string& line) {
    const std::lock_guard<std::mutex> lock(log_mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A request path is the client's text; keep it from breaking the log into extra lines.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return out;
}

std::optional<std::string_view> header_value(const httplib::Request& request, const char* name) {
    if (!request.has_header(name)) return std::nullopt;
    const auto found = request.headers.find(name);
    return std::string_view(found->second);
}

// Uploads in progress, from admission until their answer is written and logged. Stopping waits
// for them rather than for every kept-alive connection, which the uploader leaves open for as
// long as it runs.
struct upload_gate {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t active = 0;
    bool closed = false;
};

bool enter_gate(upload_gate& gate) {
    const std::lock_guard<std::mutex> lock(gate.mutex);
    if (gate.closed) return false;
    ++gate.active;
    return true;
}

void leave_gate(upload_gate& gate) {
    const std::lock_guard<std::mutex> lock(gate.mutex);
    if (--gate.active == 0) gate.idle.notify_all();
}

void close_gate_and_wait(upload_gate& gate) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.closed = true;
    gate.idle.wait(lock, [&] { return gate.active == 0; });
}

// The library runs a request's handler and then, on the same worker, writes the answer and
// calls the logger; this carries "an upload was admitted" from the one to the other.
thread_local bool upload_admitted = false;

void serve_upload(const archive_limits& limits, storage_root& root, upload_gate& gate,
                  const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader& read_body) {
    if (!enter_gate(gate)) {
        response.status = 503;
        response.set_header("Connection", "close");
        response.set_content("the gallery is stopping\n", "text/plain");
        return;
    }
    upload_admitted = true;
    upload_receiver upload;
    start_upload(upload, limits, root, header_value(request, "Content-Type"),
                 header_value(request, "Content-Length"));
    const bool body_read = read_body([&](const char* data, std::size_t length) {
        receive_upload_bytes(upload, std::string_view(data, length));
        return true;
    });
    const upload_outcome outcome = finish_upload(upload, body_read);
    response.status = outcome.status;
    response.set_content(outcome.message + "\n", "text/plain");
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
    // every worker inherits the mask and none is interrupted by them.
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

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(worker_count); };
    // The library's default also sets SO_REUSEPORT, which would let a second server share a
    // port that is in use instead of failing.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_max_count(requests_per_connection);
    server.set_keep_alive_timeout(first_byte_wait_seconds);
    server.set_read_timeout(read_wait_seconds);
    // Bodies are streamed and checked against the archive limit here, not by the library.
    server.set_payload_max_length(SIZE_MAX);
    const archive_limits limits = opts.limits;
    server.Get(limits_pattern, [limits](const httplib::Request&, httplib::Response& response) {
        char text[48];
        std::snprintf(text, sizeof text, "%d:%d:%d", static_cast<int>(limits.archive_bytes),
                      static_cast<int>(limits.files), static_cast<int>(limits.file_bytes));
        response.set_content(text, "text/plain");
    });
    upload_gate gate;
    // Logged before the answer goes out, so whoever has the answer can already read its line.
    server.set_post_routing_handler([](const httplib::Request& request,
                                       httplib::Response& response) {
        std::string line =
            request.method + " " + printable(request.path) + " " + std::to_string(response.status);
        if (request.method == "POST" && request.path == upload_path) {
            std::string_view message = response.body;
            if (message.ends_with('\n')) message.remove_suffix(1);
            line += " " + printable(message);
        }
        log_line(line);
    });
    // Called once the answer is written.
    server.set_logger([&gate](const httplib::Request&, const httplib::Response&) {
        if (upload_admitted) {
            upload_admitted = false;
            leave_gate(gate);
        }
    });
    server.Post(upload_pattern, [&](const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& read_body) {
        serve_upload(limits, root, gate, request, response, read_body);
    });

    int port = opts.port;
    if (port == 0) {
        port = server.bind_to_any_port(opts.host);
    } else if (!server.bind_to_port(opts.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "nexivane-gallery: cannot listen on %s:%d\n", opts.host.c_str(),
                     opts.port);
        return 1;
    }
    log_line("listening on " + opts.host + ":" + std::to_string(port));

    std::atomic<bool> stopping{false};
    std::atomic<bool> failed{false};
    std::thread serving([&] {
        server.listen_after_bind();
        if (!stopping) {
            // Serving ended on its own; wake the signal wait below so the process exits.
            failed = true;
            kill(getpid(), SIGTERM);
        }
    });
    serving.detach();
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    stopping = true;
    server.stop();
    close_gate_and_wait(gate);
    // Every upload is either published or discarded by now and its answer written. Idle
    // kept-alive connections hold nothing, so the process ends without waiting for their
    // workers, holding the log lock so that none of them leaves half a line.
    log_mutex.lock();
    std::fflush(stdout);
    std::_Exit(failed ? 1 : 0);
}
