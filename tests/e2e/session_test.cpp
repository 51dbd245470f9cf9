// Whole runs of nexivane-dev against a scripted gallery: what the gallery received, what the
// client printed, and how it ended.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/session_run.h"

namespace {

const std::string empty_body = default_preamble() + utf16le("\n");

std::uint16_t unused_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(Session, NoPathsPostsTheEmptyArchive) {
    scripted_gallery gallery({limits_reply("24:100:2097152"), answer_reply("200 OK", "thanks")});
    session_run run;
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "thanks");
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(run.connections.size(), 2u);
    EXPECT_EQ(run.connections[0], expected_limits_request("127.0.0.1"));
    EXPECT_EQ(run.connections[1], expected_upload_head("127.0.0.1", 24) + empty_body);
    const std::string body_bytes(
        "\x32\x00\x2E\x00\x30\x00\x0A\x00\x4C\x00\x0A\x00\x74\x00\x72"
        "\x00\x75\x00\x65\x00\x0A\x00\x0A\x00",
        24);
    EXPECT_EQ(empty_body, body_bytes);
}

TEST(Session, OverTheArchiveLimitOnlyThreeHeadLinesGoOut) {
    struct row {
        std::string limits;
        std::size_t file_size;  // one file named on the command line, "f"
        std::string message;
    };
    // The 24-byte empty archive plus 24 for the index line of "f": 48 bytes and the file's size.
    const row rows[] = {
        {"23:100:2097152", 0, "server refuses to accept archives bigger than 0M\n"},
        {"45:100:2097152", 0, "server refuses to accept archives bigger than 0M\n"},
        {"1048575:100:-1", 1048575 - 48 + 1, "server refuses to accept archives bigger than 0M\n"},
        {"10485760:100:-1", 10485760, "server refuses to accept archives bigger than 10M\n"},
        {"15728639:100:-1", 15728639 - 48 + 1,
         "server refuses to accept archives bigger than 14M\n"},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply(r.limits), answer_reply("200 OK", "unexpected")});
        session_run run;
        write_file(run.work.path / "f", std::string(r.file_size, 'x'));
        run.arguments = {"f"};
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 1) << r.limits;
        EXPECT_EQ(result.err, r.message);
        EXPECT_EQ(result.out, "");
        ASSERT_EQ(run.connections.size(), 2u);
        EXPECT_EQ(run.connections[1],
                  "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  "User-Agent: " +
                      user_agent_text() + "\r\n");
    }
}

TEST(Session, AnArchiveOfExactlyTheLimitIsSent) {
    struct row {
        std::string limits;
        std::size_t file_size;
    };
    const row rows[] = {{"24:100:-1", 0}, {"1000:100:-1", 1000 - 48}, {"-1:100:-1", 3000}};
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply(r.limits), answer_reply("200 OK", "ok")});
        session_run run;
        if (r.file_size > 0) {
            write_file(run.work.path / "f", std::string(r.file_size, 'y'));
            run.arguments = {"f"};
        }
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 0) << r.limits << result.err;
        EXPECT_EQ(result.out, "ok");
        const std::size_t length = r.file_size > 0 ? 48 + r.file_size : 24;
        ASSERT_EQ(run.connections.size(), 2u);
        EXPECT_EQ(run.connections[1].size(),
                  expected_upload_head("127.0.0.1", length).size() + length);
    }
}

TEST(Session, GalleryThatCannotBeReachedEndsTheRun) {
    struct row {
        std::string gallery;
        std::string message;
    };
    const row rows[] = {
        {"gallery.nexivane.invalid:80", "cannot resolve the gallery address\n"},
        {"127.0.0.1:" + std::to_string(unused_port()), "cannot connect to the gallery\n"},
    };
    for (const row& r : rows) {
        program_run child;
        child.executable = dev_executable();
        temp_dir appdata;
        child.environment = {{"NEXIVANE_GALLERY", r.gallery}, {"APPDATA", appdata.str()}};
        const program_result result = run_program(child);
        EXPECT_EQ(result.exit_code, 1) << r.gallery;
        EXPECT_EQ(result.err, r.message);
        EXPECT_EQ(result.out, "");
    }
}

TEST(Session, DeveloperBuildNeedsItsGalleryVariable) {
    for (const char* value :
         {"", "127.0.0.1", ":80", "127.0.0.1:", "127.0.0.1:0", "host:65536", "host:8o"}) {
        program_run child;
        child.executable = dev_executable();
        child.environment = {{"NEXIVANE_GALLERY", std::string(value)}};
        const program_result result = run_program(child);
        EXPECT_EQ(result.exit_code, 1) << value;
        EXPECT_EQ(result.err, "set NEXIVANE_GALLERY to the gallery's host:port\n");
    }
    program_run unset;
    unset.executable = dev_executable();
    unset.environment = {{"NEXIVANE_GALLERY", std::nullopt}};
    EXPECT_EQ(run_program(unset).exit_code, 1);
}

TEST(Session, ArgumentsAreArchivedInCommandLineOrder) {
    scripted_gallery gallery({limits_reply("10485760:100:2097152"), answer_reply("200 OK", "ok")});
    session_run run;
    write_file(run.work.path / "a.jpg", std::string(1500, 'a'));
    write_file(run.work.path / "bb.png", std::string(20, 'b'));
    run.arguments = {"a.jpg", "bb.png"};
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const std::string body = default_preamble() + utf16le("000001500:a.jpg\n000000020:bb.png\n\n") +
                             std::string(1500, 'a') + std::string(20, 'b');
    EXPECT_EQ(body.size(), 1610u);
    ASSERT_EQ(run.connections.size(), 2u);
    EXPECT_EQ(run.connections[1], expected_upload_head("127.0.0.1", 1610) + body);
}

TEST(Session, TheShippedProgramIgnoresTheDeveloperVariable) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), answer_reply("200 OK", "ok")});
    temp_dir appdata;
    program_run child;
    child.executable = NEXIVANE_EXE;
    child.environment = {{"NEXIVANE_GALLERY", gallery.address()}, {"APPDATA", appdata.str()}};
    const program_result result = run_program(child);
    EXPECT_TRUE(gallery.finish().empty());
    const std::string host = NEXIVANE_SHIPPED_HOST;
    // The default host lies in a domain reserved never to resolve.
    if (host.ends_with(".example")) {
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.err, "cannot resolve the gallery address\n");
    }
}
