// The status line on a terminal: it appears while the paths are packed and the body is sent, is
// erased before every other line and at the end, and changes nothing the gallery receives or a
// pipe carries.
#include <gtest/gtest.h>

#include "support/session_run.h"

namespace {

// What a terminal's standard error carried, taken apart: the bytes outside the status line, and
// how often each kind of line was drawn. A draw is CR and the line; an erase is CR, blanks, CR.
struct terminal_output {
    std::string plain;
    int packing_draws = 0;
    int sending_draws = 0;
    std::string problem;  // empty when every other byte came while no line was drawn
};

terminal_output take_apart(const std::string& err) {
    terminal_output out;
    bool drawn = false;
    std::size_t i = 0;
    while (i < err.size()) {
        if (err[i] != '\r') {
            if (drawn && out.problem.empty()) out.problem = "text at byte " + std::to_string(i);
            out.plain += err[i++];
            continue;
        }
        std::size_t blanks = i + 1;
        while (blanks < err.size() && err[blanks] == ' ') ++blanks;
        if (blanks > i + 1 && blanks < err.size() && err[blanks] == '\r') {
            drawn = false;
            i = blanks + 1;
            continue;
        }
        const std::size_t end = std::min(err.find('\r', i + 1), err.size());
        const std::string text = err.substr(i + 1, end - i - 1);
        if (text.starts_with("packing: ")) {
            ++out.packing_draws;
        } else if (text.starts_with("sending: ")) {
            ++out.sending_draws;
        } else if (out.problem.empty()) {
            out.problem = "not a status line: " + text;
        }
        if (text.find('\n') != std::string::npos && out.problem.empty()) {
            out.problem = "a line feed inside the status line";
        }
        drawn = true;
        i = end;
    }
    if (drawn && out.problem.empty()) out.problem = "the line is left drawn at the end";
    return out;
}

}  // namespace

TEST(ProgressLine, OnATerminalOnlyAndErasedBeforeEveryOtherLine) {
    struct row {
        std::string name;
        gallery_reply answer;
        std::size_t large_file;  // bytes of one more file, after the folder
        std::string err;         // standard error through a pipe
        int exit_code;
    };
    const std::string count_warning =
        "server refuses to accept more than 3 files per session, the rest is ignored\n";
    const row rows[] = {
        {"a warning while packing, a 404 answer", answer_reply("404 Not Found", "no gallery here"),
         1500000, count_warning + "no gallery here\n", 0},
        // Far more than the connection holds once the gallery has gone.
        {"the gallery gone mid-upload", resetting_reply(8192), 64u << 20,
         count_warning + "send error\nserver response terminated unexpectedly\n", 1},
    };
    for (const row& r : rows) {
        struct way {
            std::string name;
            bool terminal;
            std::string term;
        };
        const way ways[] = {
            {"pipe", false, "xterm"}, {"terminal", true, "xterm"}, {"dumb terminal", true, "dumb"}};
        std::vector<std::string> uploads;
        for (const way& w : ways) {
            SCOPED_TRACE(r.name + ", " + w.name);
            scripted_gallery gallery({limits_reply("-1:3:-1"), r.answer});
            session_run run;
            write_file(run.work.path / "pics" / "a.jpg", std::string(1500, 'a'));
            write_file(run.work.path / "pics" / "c.jpg", std::string(700, 'c'));
            write_file(run.work.path / "large.bin", std::string(r.large_file, 'L'));
            write_file(run.work.path / "one-too-many.jpg", "x");
            run.arguments = {"pics", "large.bin", "one-too-many.jpg"};
            run.error_on_terminal = w.terminal;
            run.environment["TERM"] = w.term;
            const program_result result = run.run(gallery);
            EXPECT_EQ(result.exit_code, r.exit_code);
            EXPECT_EQ(result.out, "");
            if (w.terminal && w.term != "dumb") {
                const terminal_output seen = take_apart(result.err);
                EXPECT_EQ(seen.problem, "");
                EXPECT_EQ(seen.plain, r.err);
                EXPECT_GT(seen.packing_draws, 0);
                EXPECT_GT(seen.sending_draws, 0);
            } else {
                // Not a byte of the line: the messages alone.
                EXPECT_EQ(result.err, r.err);
            }
            uploads.push_back(run.connections.size() == 2 ? run.connections[1] : "<no upload>");
        }
        // The gallery gets the very same bytes whether or not the line is shown (where it takes
        // the whole upload: a reset cuts it wherever the connection then stands).
        if (r.exit_code == 0) {
            EXPECT_TRUE(uploads[1] == uploads[0]) << r.name;
            EXPECT_TRUE(uploads[2] == uploads[0]) << r.name;
        }
    }
}
