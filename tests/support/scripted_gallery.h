// A gallery stand-in for tests: listens on a loopback port of its own, records every byte each
// connection sends, and answers the connections in the order they come with scripted bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct gallery_reply {
    enum class moment {
        after_request,  // once the head and the body its Content-Length announces have come
        on_connect,     // at once, before anything is read
        never,          // say nothing; only record
    };
    std::string bytes;
    moment when = moment::after_request;
    // When set, answer as soon as this many bytes of the request have come, complete or not.
    std::size_t after_bytes = 0;
    bool close_after = false;  // end our side after the bytes (the client then reads an end)
    bool reset_after = false;  // abort the connection after the bytes (the client sees a reset)
};

// "HTTP/1.1 <status>\r\nContent-Length: <n>\r\n\r\n<body>"
std::string http_answer(const std::string& status, const std::string& body);
// The limits query's usual answer for "A:F:S".
gallery_reply limits_reply(const std::string& limits);
gallery_reply answer_reply(const std::string& status, const std::string& body);
// These bytes, then the end of the gallery's side of the connection.
gallery_reply closing_reply(std::string bytes);
// An abort of the connection once `after_bytes` of the request have come (0: the whole request),
// after these bytes.
gallery_reply resetting_reply(std::size_t after_bytes, std::string bytes = "");

struct scripted_gallery {
    int listen_fd = -1;
    std::uint16_t port = 0;
    std::vector<gallery_reply> script;
    std::mutex lock;
    std::vector<std::string> received;  // one entry per connection, in accept order
    std::vector<int> open_fds;
    std::vector<std::thread> handlers;
    std::thread acceptor;
    std::atomic<bool> stopping{false};

    explicit scripted_gallery(std::vector<gallery_reply> replies);
    ~scripted_gallery();
    scripted_gallery(const scripted_gallery&) = delete;
    scripted_gallery& operator=(const scripted_gallery&) = delete;

    std::string address() const;  // "127.0.0.1:<port>"

    // Stops accepting, waits until every connection has been closed by the client, and returns
    // what each connection carried. A client inside the test process never closes its
    // connections: `end_connections` ends them from this side instead of waiting.
    std::vector<std::string> finish(bool end_connections = false);
};

// The length of a complete request at the start of `bytes` (head plus announced body), or 0
// while it is incomplete.
std::size_t complete_request_length(const std::string& bytes);
