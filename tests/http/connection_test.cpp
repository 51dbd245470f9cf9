#include "http/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <regex>

namespace {

// A connected pair standing in for a gallery connection: what the client sends arrives at peer.
struct socket_pair {
    int client = -1;
    int peer = -1;
    socket_pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) client = fds[0], peer = fds[1];
    }
    ~socket_pair() {
        if (client >= 0) ::close(client);
        if (peer >= 0) ::close(peer);
    }
    std::string drain() {
        ::shutdown(client, SHUT_WR);
        std::string all;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(peer, buffer, sizeof buffer)) > 0) all.append(buffer, got);
        return all;
    }
};

}  // namespace

TEST(SendHeadLine, EachLineIsOneSendItem) {
    socket_pair pair;
    std::vector<std::size_t> items;
    net_trace_sends(&items);
    std::array<char, limits_line_buffer_size> line;
    send_head_line(pair.client, line, get_line_template, limits_path);
    send_head_line(pair.client, line, host_line_template, "gallery.example");
    send_head_line(pair.client, line, user_agent_last_line_template, "Nexivane/2.0 (X 1.2)");
    send_head_line(pair.client, line, content_length_line_template, 4294967295u);
    net_trace_sends(nullptr);
    const std::string lines[] = {"GET /add/limits.aspx HTTP/1.1\r\n", "Host: gallery.example\r\n",
                                 "User-Agent: Nexivane/2.0 (X 1.2)\r\n\r\n",
                                 "Content-Length: 4294967295\r\n"};
    ASSERT_EQ(items.size(), 4u);
    std::string all;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(items[i], lines[i].size());
        all += lines[i];
    }
    EXPECT_EQ(pair.drain(), all);
}

TEST(SendHeadLine, AClosedPeerEndsTheRunWithConnectionError) {
    socket_pair pair;
    ::close(pair.peer);
    pair.peer = -1;
    std::array<char, limits_line_buffer_size> line;
    EXPECT_EXIT(send_head_line(pair.client, line, get_line_template, limits_path),
                ::testing::ExitedWithCode(1), "^connection error\n$");
}

TEST(SendHeadLine, ALineTooLongForItsBufferIsNeverSentCut) {
    socket_pair pair;
    std::array<char, 16> line;
    EXPECT_EXIT(send_head_line(pair.client, line, host_line_template, "a-very-long-gallery-host"),
                ::testing::ExitedWithCode(1), "^connection error\n$");
}

TEST(MakeUserAgent, NamesProductVersionAndSystem) {
    const std::string agent = make_user_agent();
    EXPECT_TRUE(std::regex_match(agent, std::regex(R"(Nexivane/2\.0 \([A-Za-z]+ \d+\.\d+\))")))
        << agent;
    EXPECT_EQ(agent, "Nexivane/2.0 (" + os_version_text() + ")");
}
