#include "server.h"

#include <microhttpd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "upload.h"

namespace gallery {
namespace {

using steady = std::chrono::steady_clock;

constexpr std::string_view limits_path = "/add/limits.aspx";
constexpr std::string_view upload_path = "/add/Client.aspx";

// Each connection's head and read buffer live in this much memory; a head that does not fit is
// refused by the library itself.
constexpr std::size_t connection_memory = 16 * 1024;
constexpr std::size_t most_head_bytes = 8 * 1024;
// Only uploads carry a body worth reading.
constexpr std::uint64_t most_other_body_bytes = 4 * 1024;
// A connection in the middle of an upload holds its socket, its folder and the file being
// written.
constexpr rlim_t descriptors_per_connection = 3;
constexpr rlim_t spare_descriptors = 32;
constexpr auto sweep_interval = std::chrono::milliseconds(250);

// Per connection, from accept to close; the sweeper ends those past their deadline.
struct connection_state {
    int fd = -1;
    steady::time_point deadline;
    bool overdue = false;
};

enum class route { limits, upload, other };

struct request_state {
    std::string method;
    std::string path;
    route kind = route::other;
    bool answered = false;
    bool admitted = false;  // counted among the uploads in progress
    unsigned upload_seconds = 0;
    upload_receiver upload;
};

}  // namespace

struct gallery_server {
    server_settings settings;
    storage_root* root = nullptr;
    MHD_Daemon* daemon = nullptr;

    std::mutex uploads_mutex;
    std::condition_variable uploads_done;
    std::size_t uploads_in_progress = 0;
    std::size_t uploads_dropped = 0;
    bool stopping = false;

    std::mutex connections_mutex;
    std::set<connection_state*> connections;
    std::condition_variable sweeper_wake;
    bool sweeper_stop = false;
    std::thread sweeper;
};

namespace {

std::mutex log_mutex;

// A request path is the client's text; keep it from breaking the log into extra lines.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return out;
}

std::string count_text(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The head fields that decide how a body is framed and whether it is taken.
struct head_fields {
    std::size_t content_lengths = 0;
    std::optional<std::string_view> content_length;
    std::optional<std::string_view> content_type;
    bool transfer_encoding = false;
};

MHD_Result note_field(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto& fields = *static_cast<head_fields*>(cls);
    const std::string_view text = value == nullptr ? "" : value;
    if (ascii_iequal(key, "Content-Length")) {
        if (fields.content_lengths++ == 0) fields.content_length = text;
    } else if (ascii_iequal(key, "Content-Type")) {
        if (!fields.content_type) fields.content_type = text;
    } else if (ascii_iequal(key, "Transfer-Encoding")) {
        fields.transfer_encoding = true;
    }
    return MHD_YES;
}

connection_state* state_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<connection_state*>(info->socket_context);
}

void set_deadline(gallery_server& server, MHD_Connection* connection, steady::duration from_now) {
    connection_state* state = state_of(connection);
    if (state == nullptr) return;
    const std::lock_guard<std::mutex> lock(server.connections_mutex);
    state->deadline = steady::now() + from_now;
}

bool is_overdue(gallery_server& server, MHD_Connection* connection) {
    connection_state* state = state_of(connection);
    const std::lock_guard<std::mutex> lock(server.connections_mutex);
    return state != nullptr && state->overdue;
}

// Ends every connection past its deadline: a head or an upload dripping in slower than its
// limits, which the library's idle timeout alone would let go on for ever. Shutting the socket
// down, rather than closing it, leaves the descriptor to the library, which sees the end of
// the stream and closes the connection itself.
void sweep(gallery_server& server) {
    std::unique_lock<std::mutex> lock(server.connections_mutex);
    while (!server.sweeper_stop) {
        server.sweeper_wake.wait_for(lock, sweep_interval);
        const steady::time_point now = steady::now();
        for (connection_state* state : server.connections) {
            if (state->overdue || state->deadline > now) continue;
            state->overdue = true;
            shutdown(state->fd, SHUT_RDWR);
        }
    }
}

// Logged before the answer goes out, so whoever has the answer can already read its line.
// Messages go out as one line each; the limits reply is the bare numbers.
MHD_Result answer(MHD_Connection* connection, request_state& request, unsigned status,
                  const std::string& text, bool as_line = true) {
    std::string line =
        request.method + " " + printable(request.path) + " " + std::to_string(status);
    if (!text.empty() && (request.kind == route::upload || status >= 400)) {
        line += " " + printable(text);
    }
    log_line(line);
    const std::string body = text.empty() || !as_line ? text : text + "\n";
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    request.answered = true;
    return queued;
}

std::string limits_text(const archive_limits& limits) {
    char text[48];
    std::snprintf(text, sizeof text, "%d:%d:%d", static_cast<int>(limits.archive_bytes),
                  static_cast<int>(limits.files), static_cast<int>(limits.file_bytes));
    return text;
}

bool admit_upload(gallery_server& server) {
    const std::lock_guard<std::mutex> lock(server.uploads_mutex);
    if (server.stopping) return false;
    ++server.uploads_in_progress;
    return true;
}

void release_upload(gallery_server& server, bool dropped) {
    const std::lock_guard<std::mutex> lock(server.uploads_mutex);
    if (dropped) ++server.uploads_dropped;
    if (--server.uploads_in_progress == 0) server.uploads_done.notify_all();
}

unsigned upload_seconds(const server_settings& settings, std::uint64_t length) {
    const std::uint64_t at_floor_rate =
        (length + settings.upload_floor_rate - 1) / settings.upload_floor_rate;
    return static_cast<unsigned>(std::clamp<std::uint64_t>(
        at_floor_rate, settings.upload_minimum_seconds, std::numeric_limits<unsigned>::max()));
}

// An upload that is refused before its body is answered at once; the library then closes the
// connection instead of reading the body.
MHD_Result begin_upload(gallery_server& server, MHD_Connection* connection, request_state& request,
                        const head_fields& fields) {
    if (!admit_upload(server)) return answer(connection, request, 503, "the gallery is stopping");
    request.admitted = true;
    if (fields.transfer_encoding) {
        return answer(connection, request, 400, "the request has no usable Content-Length");
    }
    upload_receiver& upload = request.upload;
    start_upload(upload, server.settings.limits, *server.root, fields.content_type,
                 fields.content_length);
    if (upload.failure_status == 413) {
        return answer(connection, request, 413, upload.failure);
    }
    request.upload_seconds = upload_seconds(server.settings, upload.body_length);
    set_deadline(server, connection, std::chrono::seconds(request.upload_seconds));
    return MHD_YES;
}

MHD_Result begin_request(gallery_server& server, MHD_Connection* connection,
                         request_state& request) {
    const MHD_ConnectionInfo* head =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (head != nullptr && head->header_size > most_head_bytes) {
        return answer(connection, request, 431,
                      "the request head is over " + std::to_string(most_head_bytes) + " bytes");
    }
    head_fields fields;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, note_field, &fields);
    // Two framings of one body are how one request is smuggled inside another.
    if (fields.transfer_encoding && fields.content_lengths > 0) {
        return answer(connection, request, 400,
                      "the request has both Transfer-Encoding and Content-Length");
    }
    if (fields.content_lengths > 1) {
        return answer(connection, request, 400, "the request has more than one Content-Length");
    }
    if (request.method == "POST" && request.path == upload_path) {
        request.kind = route::upload;
        return begin_upload(server, connection, request, fields);
    }
    if ((request.method == "GET" || request.method == "HEAD") && request.path == limits_path) {
        request.kind = route::limits;
    }
    // The library cannot answer in the middle of a body, so a body whose size is not known
    // up front is refused before it starts.
    if (fields.transfer_encoding) {
        return answer(connection, request, 411, "a body here needs a Content-Length");
    }
    if (fields.content_length) {
        const std::optional<std::uint64_t> length = parse_length(*fields.content_length);
        if (!length) return answer(connection, request, 400, "the Content-Length is not a number");
        if (*length > most_other_body_bytes) {
            return answer(
                connection, request, 413,
                "a body here may hold at most " + std::to_string(most_other_body_bytes) + " bytes");
        }
    }
    return MHD_YES;
}

MHD_Result end_request(gallery_server& server, MHD_Connection* connection, request_state& request) {
    switch (request.kind) {
        case route::upload: {
            const upload_outcome outcome = finish_upload(request.upload, true);
            return answer(connection, request, static_cast<unsigned>(outcome.status),
                          outcome.message);
        }
        case route::limits:
            return answer(connection, request, 200, limits_text(server.settings.limits), false);
        case route::other:
            break;
    }
    return answer(connection, request, 404, "");
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char* data, size_t* size, void** request_slot) {
    auto& server = *static_cast<gallery_server*>(cls);
    try {
        auto* request = static_cast<request_state*>(*request_slot);
        if (request == nullptr) {
            request = new request_state;
            *request_slot = request;
            request->method = method;
            request->path = url;
            return begin_request(server, connection, *request);
        }
        if (*size > 0) {
            // Bodies on other paths are at most a few KiB, announced, and not looked at.
            if (request->kind == route::upload) {
                receive_upload_bytes(request->upload, std::string_view(data, *size));
            }
            *size = 0;
            return MHD_YES;
        }
        return end_request(server, connection, *request);
    } catch (...) {
        // Out of memory: the library closes the connection, and the completion drops the rest.
        return MHD_NO;
    }
}

std::string drop_reason(const request_state& request, MHD_RequestTerminationCode why, bool overdue,
                        const server_settings& settings) {
    if (why == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN) return "the gallery stopped";
    if (overdue && request.kind == route::upload) {
        return "not finished within " + std::to_string(request.upload_seconds) + " s";
    }
    if (overdue) return "not finished within " + std::to_string(settings.head_seconds) + " s";
    if (why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
        return "nothing came for " + std::to_string(settings.idle_seconds) + " s";
    }
    return "the connection ended";
}

void on_completed(void* cls, MHD_Connection* connection, void** request_slot,
                  MHD_RequestTerminationCode why) {
    auto& server = *static_cast<gallery_server*>(cls);
    auto* request = static_cast<request_state*>(*request_slot);
    if (request == nullptr) return;
    *request_slot = nullptr;
    const bool dropped = !request->answered;
    if (dropped) {
        drop_upload(request->upload);
        const bool overdue = is_overdue(server, connection);
        log_line(request->method + " " + printable(request->path) +
                 " dropped: " + drop_reason(*request, why, overdue, server.settings));
    }
    if (request->admitted) {
        release_upload(server, dropped && why == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN);
    }
    delete request;
    // The next request on this connection gets its own time for its head.
    set_deadline(server, connection, std::chrono::seconds(server.settings.head_seconds));
}

void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode what) {
    auto& server = *static_cast<gallery_server*>(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto* state = new (std::nothrow) connection_state;
        if (state == nullptr || info == nullptr) {
            delete state;
            return;
        }
        state->fd = info->connect_fd;
        state->deadline = steady::now() + std::chrono::seconds(server.settings.head_seconds);
        const std::lock_guard<std::mutex> lock(server.connections_mutex);
        server.connections.insert(state);
        *socket_context = state;
        return;
    }
    // Called while the socket is still open, so the sweeper never shuts down a descriptor
    // that has been closed and perhaps reused.
    auto* state = static_cast<connection_state*>(*socket_context);
    if (state == nullptr) return;
    {
        const std::lock_guard<std::mutex> lock(server.connections_mutex);
        server.connections.erase(state);
    }
    *socket_context = nullptr;
    delete state;
}

// Room for every connection in the middle of an upload, within what the system allows.
unsigned connection_limit() {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) return 64;
    const rlim_t wanted = most_connections * descriptors_per_connection + spare_descriptors;
    if (descriptors.rlim_cur < wanted) {
        descriptors.rlim_cur = std::min(wanted, descriptors.rlim_max);
        setrlimit(RLIMIT_NOFILE, &descriptors);
        getrlimit(RLIMIT_NOFILE, &descriptors);
    }
    const rlim_t room =
        descriptors.rlim_cur > spare_descriptors
            ? (descriptors.rlim_cur - spare_descriptors) / descriptors_per_connection
            : 1;
    return static_cast<unsigned>(std::clamp<rlim_t>(room, 1, most_connections));
}

}  // namespace

void log_line(std::string_view line) {
    const std::lock_guard<std::mutex> lock(log_mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

gallery_server* start_server(const server_settings& settings, storage_root& root, int listen_fd,
                             std::string& error) {
    auto* server = new gallery_server;
    server->settings = settings;
    server->root = &root;
    const unsigned connections = connection_limit();
    // One internal thread, polling: libmicrohttpd 0.9.75's epoll loop can miss the end of a
    // connection that closes while the handler is busy, and then keeps its upload open until the
    // idle timeout. The wake-up channel lets a stop end accepting while connections go on.
    server->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC, 0, nullptr, nullptr,
        on_request, server, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listen_fd),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_CONNECTION_LIMIT,
        connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        std::min(connections_per_address, connections), MHD_OPTION_CONNECTION_TIMEOUT,
        settings.idle_seconds, MHD_OPTION_NOTIFY_COMPLETED, on_completed, server,
        MHD_OPTION_NOTIFY_CONNECTION, on_connection, server, MHD_OPTION_END);
    if (server->daemon == nullptr) {
        error = "cannot start the HTTP server";
        delete server;
        return nullptr;
    }
    server->sweeper = std::thread([server] { sweep(*server); });
    return server;
}

void stop_server(gallery_server* server) {
    const MHD_socket listener = MHD_quiesce_daemon(server->daemon);
    if (listener != MHD_INVALID_SOCKET) close(listener);
    std::unique_lock<std::mutex> lock(server->uploads_mutex);
    server->stopping = true;
    log_line("stopping; " + count_text(server->uploads_in_progress, "upload", "uploads") +
             " in progress");
    server->uploads_done.wait_for(lock, std::chrono::seconds(server->settings.stop_grace_seconds),
                                  [server] { return server->uploads_in_progress == 0; });
    lock.unlock();
    // Ends every connection left; each upload among them is dropped with its folder.
    MHD_stop_daemon(server->daemon);
    {
        const std::lock_guard<std::mutex> sweeper_lock(server->connections_mutex);
        server->sweeper_stop = true;
        server->sweeper_wake.notify_all();
    }
    server->sweeper.join();
    log_line("stopped; " + count_text(server->uploads_dropped, "upload", "uploads") + " dropped");
    delete server;
}

}  // namespace gallery
