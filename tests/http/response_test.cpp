#include "http/response.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/bytes.h"

namespace {

// The gallery's side writes `bytes` and then ends its side; the reader works on the other end.
// Whatever the reader leaves unread can be collected afterwards.
struct scripted_answer {
    int reader = -1;
    int gallery = -1;
    std::thread writer;

    explicit scripted_answer(std::string bytes) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("pair");
        reader = fds[0];
        gallery = fds[1];
        writer = std::thread([fd = gallery, bytes = std::move(bytes)] {
            std::size_t sent = 0;
            while (sent < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
        });
    }
    ~scripted_answer() {
        if (writer.joinable()) writer.join();
        ::close(reader);
        ::close(gallery);
    }
    std::string rest() {
        writer.join();
        std::string all;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(reader, buffer, sizeof buffer)) > 0) all.append(buffer, got);
        return all;
    }
};

std::string body_text(const body_buffer& body, std::int32_t length) {
    return body ? std::string(body.get(), static_cast<std::size_t>(length)) : "<none>";
}

}  // namespace

TEST(ReadResponseHead, StatusLengthModeAndWhatStaysOnTheConnection) {
    const std::string overlong =
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX-Pad: " + std::string(1100, 'p') + "\r\n\r\nabc";
    struct row {
        std::string name;
        std::string bytes;
        std::int32_t status;
        std::int32_t mode;
        std::string rest;
    };
    const row rows[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, 5, "hello"},
        {"interim head", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", 100, 0,
         "HTTP/1.1 200 OK\r\n\r\n"},
        {"spaces and letters", "HTTP/1.1 200 OK\r\nContent-Length:   12abc\r\n\r\n", 200, 12, ""},
        {"empty length", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", 200, 0, ""},
        {"zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, 0, ""},
        {"length -1 reads as chunked", "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", 200, -1,
         ""},
        {"other negative", "HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", 200, 0, ""},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 200, -1, ""},
        {"chunked, no space", "HTTP/1.1 200 OK\r\nTransfer-Encoding:chunked\r\n\r\n", 200, -1, ""},
        {"chunked, spaces", "HTTP/1.1 200 OK\r\nTransfer-Encoding:    chunked\r\n\r\n", 200, -1,
         ""},
        {"tab before value", "HTTP/1.1 200 OK\r\nTransfer-Encoding:\tchunked\r\n\r\n", 200, 0, ""},
        {"trailing space", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked \r\n\r\n", 200, 0, ""},
        {"other case value", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n", 200, 0, ""},
        {"coding list", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 200, 0, ""},
        {"lower-case name", "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", 200, 0, ""},
        {"blank before name", "HTTP/1.1 200 OK\r\n Content-Length: 5\r\n\r\n", 200, 0, ""},
        {"colons before name", "HTTP/1.1 200 OK\r\n::Content-Length::: 7\r\n\r\n", 200, 7, ""},
        {"chunked then length",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", 200, -1, ""},
        {"length then chunked",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 200, -1, ""},
        {"later length counts", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n",
         200, 7, ""},
        {"later zero does not cancel",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 0\r\n\r\n", 200, 5, ""},
        {"ends after interim status line", "HTTP/1.1 100 Continue\r\n", 100, 0, ""},
        {"ends at once", "", 0, 0, ""},
        {"line feeds alone end no line", "HTTP/1.1 200 OK\nContent-Length: 5\n\nhello", 0, 0, ""},
        {"two spaces in status line", "HTTP/1.1  404  Not Found\r\n\r\n", 404, 0, ""},
        {"HTTP/2 is no status line", "HTTP/2 200\r\n\r\n", 0, 0, ""},
        {"status line without code", "HTTP/1.1\r\n\r\n", 0, 0, ""},
        {"every status line counts", "HTTP/1.1 200 OK\r\nHTTP/1.1 500 X\r\n\r\n", 500, 0, ""},
        {"huge numbers saturate",
         "HTTP/1.1 99999999999 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", INT32_MAX,
         INT32_MAX, ""},
        {"huge negative length is ignored",
         "HTTP/1.1 200 OK\r\nContent-Length: -99999999999\r\n\r\n", 200, 0, ""},
        {"a zero byte ends the line",
         bytes_of("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\0x\r\n\r\n"), 200, -1, ""},
        {"overlong head", overlong, 200, 3, overlong.substr(head_buffer_size)},
    };
    for (const row& r : rows) {
        scripted_answer answer(r.bytes);
        std::int32_t status = 0;
        EXPECT_EQ(read_response_head(answer.reader, status), r.mode) << r.name;
        EXPECT_EQ(status, r.status) << r.name;
        EXPECT_EQ(answer.rest(), r.rest) << r.name;
    }
}

TEST(ReadBody, EachLengthModeAndWhatStaysOnTheConnection) {
    std::string many_chunks;
    std::string joined;
    for (int i = 0; i < 200; ++i) {
        const std::string piece = "chunk" + std::to_string(i);
        char size[16];
        std::snprintf(size, sizeof size, "%zx", piece.size());
        many_chunks += std::string(size) + "\r\n" + piece + "\r\n";
        joined += piece;
    }
    many_chunks += "0\r\n\r\n";
    const std::string size_line_80 = std::string(77, '0') + "5\r\n";  // 80 bytes with CR LF
    const std::string size_line_81 = std::string(78, '0') + "5\r\n";
    const std::string to_end(3000, 'e');
    // Larger than any one step by which the joined body grows.
    std::string large(300000, 'L');
    for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>(i >> 12);
    char large_size[16];
    std::snprintf(large_size, sizeof large_size, "%zx", large.size());
    const std::string large_then_small =
        "1\r\na\r\n" + std::string(large_size) + "\r\n" + large + "\r\n1\r\nz\r\n0\r\n\r\n";
    struct row {
        std::string name;
        std::int32_t mode;
        std::string bytes;
        std::string body;  // "<none>" when no body comes back
        std::string message;
        std::string rest;
    };
    const row rows[] = {
        {"exact", 5, "hello", "hello", "", ""},
        {"exact leaves the rest", 3, "abcdef", "abc", "", "def"},
        {"exact cut short", 5, "hel", "<none>", "server response terminated unexpectedly\n", ""},
        {"huge length cut short", INT32_MAX, "abc", "<none>",
         "server response terminated unexpectedly\n", ""},
        {"to the end, capped", 0, to_end, to_end.substr(0, 1024), "", to_end.substr(1024)},
        {"to the end, exactly 1024", 0, to_end.substr(0, 1024), to_end.substr(0, 1024), "", ""},
        {"to the end, nothing", 0, "", "", "", ""},
        {"one chunk", -1, "5\r\nhello\r\n0\r\n\r\n", "hello", "", "\r\n"},
        {"extension", -1, "5;name=x\r\nhello\r\n0\r\n\r\n", "hello", "", "\r\n"},
        {"0x and white space", -1, " 0x5\r\nhello\r\n0\r\n", "hello", "", ""},
        {"zero bytes are kept", -1, bytes_of("3\r\na\0b\r\n2\r\n\0\0\r\n0\r\n\r\n"),
         bytes_of("a\0b\0\0"), "", "\r\n"},
        {"two hundred chunks", -1, many_chunks, joined, "", "\r\n"},
        {"size line of 80 bytes", -1, size_line_80 + "hello\r\n0\r\n", "hello", "", ""},
        {"size line of 81 bytes", -1, size_line_81 + "hello\r\n", "", "",
         "\n"
         "hello\r\n"},
        {"negative size ends the body", -1, "5\r\nhello\r\n-5\r\nworld\r\n", "hello", "",
         "world\r\n"},
        {"no number ends the body", -1, "5\r\nhello\r\nzz\r\n5\r\nworld\r\n", "hello", "",
         "5\r\nworld\r\n"},
        {"closed within a size line", -1, "5\r\nhello\r\n5", "hello", "", ""},
        {"chunk cut short", -1, "5\r\nhello\r\na\r\nhel", "hello",
         "server response terminated unexpectedly\n", ""},
        {"huge chunk saturates and is cut short", -1, "FFFFFFFFFF\r\nabc", "",
         "server response terminated unexpectedly\n", ""},
        {"a large chunk between small ones", -1, large_then_small, "a" + large + "z", "", "\r\n"},
        {"a large chunk cut short leaves the chunks before it", -1,
         "1\r\na\r\n" + std::string(large_size) + "\r\n" + large.substr(0, 200000), "a",
         "server response terminated unexpectedly\n", ""},
    };
    for (const row& r : rows) {
        scripted_answer answer(r.bytes);
        std::int32_t length = r.mode;
        bool cut_short = false;
        ::testing::internal::CaptureStderr();
        const body_buffer body = read_body(answer.reader, length, &cut_short);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), r.message) << r.name;
        // Whatever ended early is told to the caller, with a body or without.
        EXPECT_EQ(cut_short, !r.message.empty()) << r.name;
        EXPECT_EQ(body_text(body, length), r.body) << r.name;
        if (body) {
            EXPECT_EQ(body[static_cast<std::size_t>(length)], '\0') << r.name;
        }
        EXPECT_EQ(answer.rest(), r.rest) << r.name;
    }
}

#if !defined(__SANITIZE_ADDRESS__)
namespace {

// Runs in a child process whose address space is too small for the announced length.
[[noreturn]] void read_huge_body_with_little_memory() {
    const rlimit small{512u << 20, 512u << 20};
    ::setrlimit(RLIMIT_AS, &small);
    scripted_answer answer("abc");
    std::int32_t length = INT32_MAX;
    const body_buffer body = read_body(answer.reader, length);
    std::exit(body ? 2 : 0);
}

}  // namespace

TEST(ReadBody, ALengthTooLargeToAllocateIsACutShortBody) {
    EXPECT_EXIT(read_huge_body_with_little_memory(), ::testing::ExitedWithCode(0),
                "^server response terminated unexpectedly\n$");
}
#endif
