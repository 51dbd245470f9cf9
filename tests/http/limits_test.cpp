#include "http/limits.h"

#include <gtest/gtest.h>

#include "http/connection.h"
#include "support/session_run.h"

TEST(ParseLimits, AcceptsWhatTheReplyFormatAllows) {
    struct row {
        std::string body;
        bool accepted;
        upload_limits limits;
    };
    const row rows[] = {
        {"10485760:100:2097152", true, {10485760, 100, 2097152}},
        {"10485760:100:2097152\r\nmore text", true, {10485760, 100, 2097152}},
        {"5: 6: 7", true, {5, 6, 7}},
        {" \t5:6:7", true, {5, 6, 7}},
        {"+5:-0:7x", true, {5, 0, 7}},
        {"-1:-1:-1", true, {4294967295u, 4294967295u, 4294967295u}},
        {"-2147483648:4294967295:0", true, {2147483648u, 4294967295u, 0}},
        {"5 :6:7", false, {}},
        {"10485760:100", false, {}},
        {"10485760:100:", false, {}},
        {"", false, {}},
        {"a:b:c", false, {}},
        {"5::6:7", false, {}},
        {"4294967296:1:1", false, {}},
        {"1:-2147483649:1", false, {}},
        {"1:1:99999999999999999999999", false, {}},
    };
    for (const row& r : rows) {
        const auto parsed = parse_limits(r.body);
        ASSERT_EQ(parsed.has_value(), r.accepted) << r.body;
        if (!parsed) continue;
        EXPECT_EQ(parsed->max_archive_bytes, r.limits.max_archive_bytes) << r.body;
        EXPECT_EQ(parsed->max_files, r.limits.max_files) << r.body;
        EXPECT_EQ(parsed->max_file_bytes, r.limits.max_file_bytes) << r.body;
    }
}

TEST(GetUploadLimits, AsksOnceInThreeSendsAndThenAnswersFromTheCache) {
    forget_upload_limits();
    scripted_gallery gallery({limits_reply("1:2:3")});
    set_gallery_endpoint({"127.0.0.1", gallery.port});
    std::vector<std::size_t> items;
    net_trace_sends(&items);
    const upload_limits first = get_upload_limits();
    const upload_limits again = get_upload_limits();
    net_trace_sends(nullptr);
    const std::string request = expected_limits_request("127.0.0.1");
    const std::string agent_line = "User-Agent: " + user_agent_text() + "\r\n\r\n";
    const std::string get_line = "GET /add/limits.aspx HTTP/1.1\r\n";
    const std::string host_line = "Host: 127.0.0.1\r\n";
    EXPECT_EQ(items,
              (std::vector<std::size_t>{get_line.size(), host_line.size(), agent_line.size()}));
    EXPECT_EQ(get_line + host_line + agent_line, request);
    EXPECT_EQ(first.max_archive_bytes, 1u);
    EXPECT_EQ(first.max_files, 2u);
    EXPECT_EQ(first.max_file_bytes, 3u);
    EXPECT_EQ(again.max_file_bytes, 3u);
    const auto connections = gallery.finish(true);
    ASSERT_EQ(connections.size(), 1u);  // the second call made no connection
    EXPECT_EQ(connections[0], request);
    forget_upload_limits();
}
