// A gallery that misbehaves at every stage: the client never crashes, never hangs once the
// gallery has closed, and a run whose upload or answer did not get through whole ends with 1.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/session_run.h"

TEST(Faults, TheLimitsQueryCutOffAnywhereIsABadLimitResponse) {
    struct row {
        std::string name;
        gallery_reply reply;
        std::string err;
    };
    const row rows[] = {
        {"closed mid-head", closing_reply("HTTP/1.1 200 OK\r\nContent-Le"), "bad limit response\n"},
        {"closed mid-body", closing_reply("HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n1048"),
         "server response terminated unexpectedly\nbad limit response\n"},
        {"reset instead of an answer", resetting_reply(0), "bad limit response\n"},
        {"no status line", closing_reply("10485760:100:2097152\r\n\r\n"), "bad limit response\n"},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({r.reply});
        session_run run;
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 1) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
        EXPECT_EQ(result.out, "") << r.name;
    }
}

TEST(Faults, AnAnswerCutOffBeforeItIsWholeEndsTheRunWithOne) {
    const std::string overlong = "HTTP/1.1 404 Not Found\r\nX-Pad: " + std::string(2000, 'a') +
                                 "\r\nContent-Length: 2\r\n\r\nno";
    const std::string missing = "server response terminated unexpectedly\n";
    struct row {
        std::string name;
        gallery_reply reply;
        std::string out;
        std::string err;
        int exit_code;
    };
    const row rows[] = {
        // A status came, so the gallery did answer; what it would have said next is not known.
        {"closed mid-head", closing_reply("HTTP/1.1 200 OK\r\nContent-Len"), "", "", 0},
        {"closed mid-status-line", closing_reply("HTTP/1.1 2"), "", missing, 1},
        {"closed mid-body", closing_reply("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc"), "",
         missing, 1},
        {"closed mid-chunk",
         closing_reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "3\r\nabc\r\n8\r\nde"),
         "abc", missing, 1},
        // The chunks that came are whole: where the size lines stop is the end of the body.
        {"closed mid-size-line",
         closing_reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n1"), "abc",
         "", 0},
        // The head is read no further than 1025 bytes; the rest is taken as body.
        {"overlong head", closing_reply(overlong), "", overlong.substr(1025, 1024) + "\n", 0},
        {"no status line", closing_reply("garbage\r\n\r\nhello"), "", "hello\n", 0},
        {"reset instead of an answer", resetting_reply(0), "", missing, 1},
        {"closed after an interim head", closing_reply("HTTP/1.1 100 Continue\r\n\r\n"), "",
         missing, 1},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply("-1:-1:-1"), r.reply});
        session_run run;
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, r.exit_code) << r.name;
        EXPECT_EQ(result.out, r.out) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
    }
}

// The body did not all reach the gallery: whatever it answers, the upload failed.
TEST(Faults, AGalleryGoneMidUploadIsASendErrorTheAnswerIsReadAndTheRunEndsWithOne) {
    struct row {
        std::string name;
        std::string answer;  // sent once 4096 bytes have come, before the connection is reset
        std::string out;
        std::string err;
    };
    const row rows[] = {
        {"no answer", "", "", "send error\nserver response terminated unexpectedly\n"},
        {"a 200 answer", http_answer("200 OK", "stored"), "stored", "send error\n"},
        {"a 413 answer", http_answer("413 Too Large", "too large"), "", "send error\ntoo large\n"},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply("-1:-1:-1"), resetting_reply(4096, r.answer)});
        session_run run;
        // Far more than the connection can hold once the gallery has gone.
        write_file(run.work.path / "big.jpg", std::string(64 << 20, 'b'));
        run.arguments = {"big.jpg"};
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 1) << r.name;
        EXPECT_EQ(result.out, r.out) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
    }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(Faults, AFileLargerThanFreeMemoryIsLeftOutAndTheRestIsSent) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), answer_reply("200 OK", "ok")});
    temp_dir work;
    temp_dir appdata;
    write_file(work.path / "first.jpg", "first");
    write_file(work.path / "huge.jpg", "");
    std::filesystem::resize_file(work.path / "huge.jpg", 600u << 20);  // sparse
    write_file(work.path / "last.jpg", "last");
    program_run child;
    child.executable = dev_executable();
    child.arguments = {"first.jpg", "huge.jpg", "last.jpg"};
    child.environment = {{"NEXIVANE_GALLERY", gallery.address()}, {"APPDATA", appdata.str()}};
    child.working_directory = work.str();
    child.address_space_limit = 400u << 20;
    const program_result result = run_program(child);
    const auto connections = gallery.finish();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "not enough memory to hold a file, file ignored\n");
    EXPECT_EQ(result.out, "ok");
    ASSERT_EQ(connections.size(), 2u);
    const std::string body =
        default_preamble() + utf16le("000000005:first.jpg\n000000004:last.jpg\n\n") + "firstlast";
    EXPECT_EQ(connections[1], expected_upload_head("127.0.0.1", body.size()) + body);
}
#endif
