// The gallery's HTTP side on libmicrohttpd: one event loop serves every connection, so an idle or
// slow client costs a descriptor and a few KiB, never a worker. Every limit has a clear answer or
// ends the connection, and every request that reached the handler leaves one log line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive.h"
#include "storage.h"

namespace gallery {

// The time limits, in whole seconds.
struct server_settings {
    archive_limits limits;
    unsigned idle_seconds = 30;  // a connection silent this long is closed
    unsigned head_seconds = 60;  // a request head must be whole this long after the last answer
    // An upload must be whole within its size at this rate, and never sooner than the minimum.
    std::uint32_t upload_floor_rate = 65536;
    unsigned upload_minimum_seconds = 60;
    unsigned stop_grace_seconds = 10;  // how long a stop waits for uploads in progress
};

// At most this many connections from one address, and this many in all: enough for a browser
// or a test's few hundred stalled connections from loopback, while one address alone cannot
// fill the server.
inline constexpr unsigned connections_per_address = 256;
inline constexpr unsigned most_connections = 768;

struct gallery_server;

// Serves on the listening socket, which it takes over; null with a message when it cannot.
gallery_server* start_server(const server_settings& settings, storage_root& root, int listen_fd,
                             std::string& error);

// Stops accepting at once, lets the uploads in progress finish for up to the grace, drops the
// rest with their folders, and ends the server.
void stop_server(gallery_server* server);

// Whole lines, flushed at once, so scripts reading the log see each request as it ends.
void log_line(std::string_view line);

}  // namespace gallery
