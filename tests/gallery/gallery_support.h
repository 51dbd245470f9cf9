// Test support for the stand-in gallery: the real server as a child process, raw HTTP over
// loopback sockets, byte-exact archive bodies, and looking at what ended up on disk.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

// The server's later output is drained as it comes, so a chatty run never blocks on the pipe.
struct running_gallery {
    pid_t pid = -1;
    int port = 0;
    std::string first_line;
    int output_fd = -1;
    std::thread drain;
    std::mutex output_mutex;
    std::string output;
    ~running_gallery();
};

// Starts nexivane-gallery on port 0 with the given storage folder and extra arguments and
// reads the port from its first line. Fails the test (fatally) if it does not come up.
std::unique_ptr<running_gallery> start_gallery(const std::filesystem::path& storage,
                                               const std::vector<std::string>& extra = {});

struct stopped_gallery {
    int wait_status = 0;
    std::string output;  // everything after the first line
};

// Sends the signal and waits for the server to exit.
stopped_gallery stop_gallery(running_gallery& gallery, int signal_number);
stopped_gallery wait_for_exit(running_gallery& gallery);

struct finished_program {
    int wait_status = 0;
    std::string output;
};

// Runs the server with exactly these arguments until it exits by itself.
finished_program run_gallery_to_end(const std::vector<std::string>& arguments);

struct http_reply {
    int status = 0;
    std::string head;  // status line and fields
    std::string body;
    bool has_content_length = false;
};

// One kept-alive client connection, from 127.0.0.1 or another loopback address.
struct http_connection {
    int fd = -1;
    std::string pending;
    explicit http_connection(int port, const char* source_address = "127.0.0.1");
    ~http_connection();
    http_connection(const http_connection&) = delete;
    http_connection& operator=(const http_connection&) = delete;
};

void send_bytes(http_connection& connection, std::string_view bytes);
http_reply read_reply(http_connection& connection);
http_reply round_trip(int port, std::string_view request);

// Sends the start, then the filler over and over, until the server stops taking it or `most`
// bytes are sent; returns how many it took.
std::size_t send_until_refused(http_connection& connection, std::string_view start,
                               std::string_view filler, std::size_t most);

// Whether the server ends the connection (rather than answer) within a wait long enough for
// any of its time limits in these tests; what it still sends before it does is dropped.
bool ends_without_answer(http_connection& connection);

// Reads until the server ends the connection; the status of the answer it gave, or 0 for none.
int status_before_end(http_connection& connection);

// Whether the server has closed the connection, looking only at what has already arrived.
bool closed_already(http_connection& connection);

// Whether nothing listens on the port any more.
bool refuses_connections(int port);

// Waits (a bounded time, failing the test after it) until the server's log holds the text, as
// many times as asked.
void wait_for_output(running_gallery& gallery, std::string_view text, std::size_t times = 1);

// The server's resident memory now and at its peak, from /proc.
struct memory_use {
    long resident_kib = 0;
    long peak_kib = 0;
};
memory_use memory_of(pid_t pid);

inline constexpr std::string_view upload_content_type = "application/octet-stream; charset=utf-16";

std::string get_request(std::string_view path);
std::string upload_request(std::string_view body,
                           std::string_view content_type = upload_content_type);

std::string utf16le(std::u16string_view text);

struct archive_file {
    std::u16string name;
    std::string data;
};

// A well-formed archive body: version, codes and flag lines, the index, the empty line, data.
std::string make_archive(const std::vector<archive_file>& files, std::u16string_view codes = u"L",
                         std::u16string_view flag = u"true");

// Bytes every value of which varies, so a shifted or mixed-up copy cannot pass for the original.
std::string pattern_bytes(std::size_t size, unsigned seed);

// The folder named by a 200 reply's last word.
std::string folder_of(const http_reply& reply);

bool exited_with(int wait_status, int code);

// Regular files directly in a folder, by name, with their contents; anything else in the
// folder fails the test.
std::map<std::string, std::string> read_folder(const std::filesystem::path& folder);

// The names directly in a folder, sorted.
std::vector<std::string> top_entries(const std::filesystem::path& folder);

// Every path below root, relative, folders marked with a trailing '/'.
std::vector<std::string> list_tree(const std::filesystem::path& root);
