#include "session/session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "http/limits.h"
#include "settings/settings.h"
#include "support/session_run.h"

TEST(RunUploadSession, EveryHeadLineAndPreambleItemIsOneSendItem) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), answer_reply("200 OK", "ok")});
    temp_dir appdata;
    ::setenv("APPDATA", appdata.str().c_str(), 1);
    forget_upload_limits();
    forget_settings();
    std::vector<std::size_t> items;
    net_trace_sends(&items);
    ::testing::internal::CaptureStdout();
    const int status = run_upload_session({"127.0.0.1", gallery.port}, {u"nexivane-dev"});
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ok");
    net_trace_sends(nullptr);
    EXPECT_EQ(status, 0);
    const auto connections = gallery.finish(true);
    ASSERT_EQ(connections.size(), 2u);
    const std::string agent = user_agent_text();
    const std::vector<std::size_t> expected = {
        // the limits query: request line, Host, User-Agent with the empty line
        31, 17, 16 + agent.size(),
        // the upload head: request line, Host, User-Agent, Content-Length, Content-Type
        32, 17, 14 + agent.size(), 20, 58,
        // the preamble: "2.0", LF, "L", LF, "true", LF
        6, 2, 2, 2, 8, 2,
        // the empty index and its closing LF
        0, 2};
    EXPECT_EQ(items, expected);
    EXPECT_EQ(connections[1],
              expected_upload_head("127.0.0.1", 24) + default_preamble() + utf16le("\n"));
}
