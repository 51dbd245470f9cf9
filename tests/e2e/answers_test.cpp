// How the client takes the gallery's answers: the limits reply and the answer to the upload.
#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/session_run.h"

namespace {

gallery_reply raw(std::string bytes) { return gallery_reply{std::move(bytes)}; }

}  // namespace

TEST(LimitsReply, BadRepliesEndTheRunBeforeAnyUpload) {
    struct row {
        std::string name;
        std::vector<gallery_reply> replies;
        std::string err;
    };
    const row rows[] = {
        {"two numbers", {limits_reply("10485760:100")}, "bad limit response\n"},
        {"blank before a colon", {limits_reply("5 :6:7")}, "bad limit response\n"},
        {"empty body, then the gallery closes",
         {closing_reply("HTTP/1.1 200 OK\r\n\r\n")},
         "bad limit response\n"},
        {"out of range", {limits_reply("4294967296:1:1")}, "bad limit response\n"},
        {"cut short",
         {closing_reply("HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n1:2:3")},
         "server response terminated unexpectedly\nbad limit response\n"},
        {"silent close", {closing_reply("")}, "bad limit response\n"},
    };
    for (const row& r : rows) {
        scripted_gallery gallery(r.replies);
        session_run run;
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 1) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
        EXPECT_EQ(result.out, "") << r.name;
        EXPECT_EQ(run.connections.size(), 1u) << r.name;
    }
}

TEST(LimitsReply, AnyFinalStatusCountsAndInterimHeadsArePassedOver) {
    struct row {
        std::string name;
        gallery_reply limits;
        std::string err;  // the run with one 100-byte file (a 156-byte archive)
        bool sent;
    };
    const row rows[] = {
        {"404 body is still the limits", raw(http_answer("404 Not Found", "1:2:3")),
         "server refuses to accept files bigger than 0K, big images ignored\n"
         "server refuses to accept archives bigger than 0M\n",
         false},
        {"interim 100 first",
         raw("HTTP/1.1 100 Continue\r\n\r\n" + http_answer("200 OK", "-1:-1:-1")), "", true},
        {"chunked",
         raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
             "3\r\n-1:\r\n5\r\n-1:-1\r\n0\r\n\r\n"),
         "", true},
        {"to the end", closing_reply("HTTP/1.0 200 OK\r\n\r\n156:1:100"), "", true},
        {"to the end, one byte short", closing_reply("HTTP/1.0 200 OK\r\n\r\n155:1:100"),
         "server refuses to accept archives bigger than 0M\n", false},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({r.limits, answer_reply("200 OK", "stored")});
        session_run run;
        write_file(run.work.path / "p.jpg", std::string(100, 'p'));
        run.arguments = {"p.jpg"};
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, r.sent ? 0 : 1) << r.name << result.err;
        EXPECT_EQ(result.out, r.sent ? "stored" : "") << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
    }
}

// A complete answer of any status ends the run with 0; no answer, or one cut short, with 1.
TEST(UploadAnswer, GoesToTheRightStreamAndOnlyAWholeAnswerEndsWithZero) {
    struct row {
        std::string name;
        gallery_reply answer;
        std::string out;
        std::string err;
        int exit_code;
    };
    const std::string long_body(3000, 'b');
    const std::string missing = "server response terminated unexpectedly\n";
    const row rows[] = {
        {"200 with length", raw("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"), "hello", "",
         0},
        {"interim then 200",
         raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), "ok",
         "", 0},
        {"200 chunked, zero bytes kept",
         raw(bytes_of("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "4\r\nab\0c\r\n3\r\n\0yz\r\n0\r\n\r\n")),
         bytes_of("ab\0c\0yz"), "", 0},
        {"200 to the end, at most 1024 bytes", closing_reply("HTTP/1.1 200 OK\r\n\r\n" + long_body),
         long_body.substr(0, 1024), "", 0},
        {"200 with an empty body", closing_reply("HTTP/1.1 200 OK\r\n\r\n"), "", "", 0},
        {"404 goes to standard error", raw(http_answer("404 Not Found", "no such page")), "",
         "no such page\n", 0},
        {"404 text in the narrow code page", raw(http_answer("404 Not Found", "ferm\xE9 \x80")), "",
         printed_narrow("ferm\xE9 \x80") + "\n", 0},
        {"500 text up to its first zero byte",
         raw(bytes_of("HTTP/1.1 500 Oops\r\nContent-Length: 9\r\n\r\nbroken\0xx")), "", "broken\n",
         0},
        {"500 with an empty body", closing_reply("HTTP/1.1 500 Oops\r\n\r\n"), "", "\n", 0},
        {"a body without a status line", closing_reply("no head here\r\n\r\nplain"), "", "plain\n",
         0},
        {"silent close", closing_reply(""), "", missing, 1},
        {"a head without a status line, no body", closing_reply("Server: x\r\n\r\n"), "", missing,
         1},
        {"cut short", closing_reply("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nhalf"), "",
         missing, 1},
        {"a chunk cut short",
         closing_reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n9\r\nha"),
         "ok", missing, 1},
        {"reset", resetting_reply(0), "", missing, 1},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply("-1:-1:-1"), r.answer});
        session_run run;
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, r.exit_code) << r.name;
        EXPECT_EQ(result.out, r.out) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
    }
}

// On a terminal the gallery's text cannot drive it: every control character but tab and line
// feed is shown as "?". Through a pipe every byte stays as the gallery sent it.
TEST(UploadAnswer, TheGallerysTextCannotDriveATerminal) {
    // A new title, a cleared screen, red text, a CSI as a lone byte and as UTF-8, DEL, CR.
    // Characters that are no controls stay, and so does a byte that is not UTF-8 above 0x9F.
    const std::string hostile =
        "\x1B]0;owned\x07\x1B[2J\x1B[31mred\x9B"
        "6n \xC2\x9B\x7F\rok\ttab\n\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 \xE9";
    const std::string shown =
        "?]0;owned??[2J?[31mred?6n ???ok\ttab\n\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 \xE9";
    struct row {
        std::string name;
        std::string status;
        bool terminal;
        std::string out;
        std::string err;
    };
    const row rows[] = {
        {"404 on a terminal", "404 Not Found", true, "", shown + "\n"},
        {"404 through a pipe", "404 Not Found", false, "", printed_narrow(hostile) + "\n"},
        {"200 on a terminal", "200 OK", true, shown, ""},
        {"200 through a pipe", "200 OK", false, hostile, ""},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply("-1:-1:-1"), answer_reply(r.status, hostile)});
        session_run run;
        const bool to_output = r.status == "200 OK";
        run.output_on_terminal = r.terminal && to_output;
        run.error_on_terminal = r.terminal && !to_output;
        // Cleaned on any terminal; "dumb" only keeps the status line away.
        run.environment["TERM"] = "dumb";
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 0) << r.name;
        EXPECT_EQ(result.out, r.out) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
    }
}
