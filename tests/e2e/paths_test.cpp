// Path collection through whole runs on real trees: what enters the archive, in which order,
// under which names, and what the limits turn away.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/session_run.h"

namespace fs = std::filesystem;

namespace {

struct entry {
    std::string name;  // UTF-8 bytes of the index name
    std::string data;
};

// The body of an archive of these entries under the default settings.
std::string archive_body(const std::vector<entry>& entries) {
    std::string index;
    std::string data;
    for (const entry& e : entries) {
        char size[16];
        std::snprintf(size, sizeof size, "%09zu", e.data.size());
        index += size + (":" + e.name + "\n");
        data += e.data;
    }
    return default_preamble() + utf16le(index + "\n") + data;
}

// What the gallery received after the upload head, given the run ended normally.
std::string uploaded_body(const session_run& run) {
    EXPECT_EQ(run.connections.size(), 2u);
    if (run.connections.size() < 2) return "";
    const std::string& upload = run.connections[1];
    return upload.substr(upload.find("\r\n\r\n") + 4);
}

// The files under `dir` as the client walks them: the platform's listing order, depth first,
// entries beginning with a full stop left out. Links are not followed. A Windows client under Wine
// gets its listings sorted as NTFS sorts them, by upper-cased name.
void walk_in_listing_order(const fs::path& dir, std::vector<entry>& found) {
    DIR* listing = ::opendir(dir.c_str());
    ASSERT_NE(listing, nullptr);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(listing)) names.push_back(e->d_name);
    ::closedir(listing);
    if (client_is_windows()) {
        const auto upper = [](std::string name) {
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return name;
        };
        std::stable_sort(
            names.begin(), names.end(),
            [&](const std::string& a, const std::string& b) { return upper(a) < upper(b); });
    }
    for (const std::string& name : names) {
        if (name[0] == '.') continue;
        const fs::path path = dir / name;
        const fs::file_status status = fs::symlink_status(path);
        if (fs::is_directory(status)) {
            walk_in_listing_order(path, found);
        } else if (fs::is_regular_file(status)) {
            found.push_back({name, read_file(path)});
        }
    }
}

gallery_reply ok_reply() { return answer_reply("200 OK", "ok"); }

// Lets an unprivileged run use the run's folders.
void open_up(session_run& run) {
    fs::permissions(run.work.path, fs::perms::all);
    fs::permissions(run.appdata.path, fs::perms::all);
}

}  // namespace

TEST(Paths, ADirectoryIsWalkedDepthFirstUnderBareNames) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), ok_reply()});
    session_run run;
    const fs::path pics = run.work.path / "pics";
    write_file(pics / "a.jpg", "aaaa");
    write_file(pics / ".hidden.jpg", "hidden");
    write_file(pics / ".hiddendir" / "x.jpg", "x");
    write_file(pics / "sub" / "b.jpg", "bbb");
    write_file(pics / "sub" / "deeper" / "c.jpg", "cc");
    write_file(pics / "sub" / "deeper" / "a.jpg", "second a");
    write_file(pics / "zero.png", "");
    fs::create_directories(pics / "empty");
    write_file(run.work.path / ".profile.jpg", "top-level dot");
    run.arguments = {"pics", ".profile.jpg", "./pics/a.jpg"};
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    std::vector<entry> expected;
    walk_in_listing_order(pics, expected);
    ASSERT_EQ(expected.size(), 5u);
    expected.push_back({".profile.jpg", "top-level dot"});
    expected.push_back({"./pics/a.jpg", "aaaa"});
    EXPECT_EQ(uploaded_body(run), archive_body(expected));
}

TEST(Paths, RelativeArgumentsResolveAgainstTheStartingDirectory) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), ok_reply()});
    session_run run;
    write_file(run.work.path / "a" / "b" / "c.jpg", "inner");
    write_file(run.work.path / "c.jpg", "outer");
    run.arguments = {"a/b", "c.jpg", "missing.jpg", "a/b/c.jpg"};
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(uploaded_body(run),
              archive_body({{"c.jpg", "inner"}, {"c.jpg", "outer"}, {"a/b/c.jpg", "inner"}}));
}

TEST(Paths, LimitsTurnFilesAwayWithOneWarningEach) {
    struct row {
        std::string name;
        std::string limits;
        std::vector<std::size_t> sizes;  // files f0, f1, ... named on the command line
        std::vector<std::size_t> kept;   // indexes of the files that enter the archive
        std::string err;
    };
    const std::string count3 =
        "server refuses to accept more than 3 files per session, the rest is ignored\n";
    const std::string size1953 =
        "server refuses to accept files bigger than 1953K, big images ignored\n";
    const row rows[] = {
        {"three files of five", "-1:3:-1", {1, 2, 3, 4, 5}, {0, 1, 2}, count3},
        {"exactly the size limit",
         "-1:100:2000000",
         {2000000, 2000001, 2000001, 5},
         {0, 3},
         size1953},
        {"count before size",
         "-1:1:10",
         {20, 1, 20, 1},
         {1},
         "server refuses to accept files bigger than 0K, big images ignored\n"
         "server refuses to accept more than 1 files per session, the rest is ignored\n"},
        {"no limits", "-1:-1:-1", {0, 3000000, 7}, {0, 1, 2}, ""},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply(r.limits), ok_reply()});
        session_run run;
        std::vector<entry> files;
        for (std::size_t i = 0; i < r.sizes.size(); ++i) {
            const std::string name = "f" + std::to_string(i);
            files.push_back({name, std::string(r.sizes[i], static_cast<char>('a' + i))});
            write_file(run.work.path / name, files.back().data);
            run.arguments.push_back(name);
        }
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 0) << r.name;
        EXPECT_EQ(result.err, r.err) << r.name;
        std::vector<entry> kept;
        for (std::size_t i : r.kept) kept.push_back(files[i]);
        EXPECT_EQ(uploaded_body(run), archive_body(kept)) << r.name;
    }
}

TEST(Paths, DirectoriesAreWalkedAfterTheCountIsReached) {
    scripted_gallery gallery({limits_reply("-1:2:-1"), ok_reply()});
    session_run run;
    for (const char* dir : {"d1", "d2"}) {
        for (const char* file : {"x", "y"}) write_file(run.work.path / dir / file, file);
    }
    run.arguments = {"d1", "d2"};
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.err,
              "server refuses to accept more than 2 files per session, the rest is ignored\n");
    std::vector<entry> d1;
    walk_in_listing_order(run.work.path / "d1", d1);
    EXPECT_EQ(uploaded_body(run), archive_body(d1));
}

TEST(Paths, UnreadableAndUnenterableEntriesAreSkippedSilently) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), ok_reply()});
    session_run run;
    write_file(run.work.path / "secret.jpg", "no access");
    fs::permissions(run.work.path / "secret.jpg", fs::perms::none);
    write_file(run.work.path / "closed" / "inside.jpg", "listed but not entered");
    fs::permissions(run.work.path / "closed", fs::perms::owner_read | fs::perms::others_read);
    write_file(run.work.path / "locked" / "inside.jpg", "not even listed");
    fs::permissions(run.work.path / "locked", fs::perms::none);
    write_file(run.work.path / "fine.jpg", "fine");
    ::mkfifo((run.work.path / "pipe").c_str(), 0666);
    open_up(run);
    run.arguments = {"secret.jpg", "closed", "locked", "pipe", "nowhere", "fine.jpg"};
    // The permissions only hold for a user without privileges.
    run.unprivileged = true;
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(uploaded_body(run), archive_body({{"fine.jpg", "fine"}}));
}

// A drop folder: it may be entered and its entries opened by name, but not listed. The walk
// must still find its way back into it after each directory.
TEST(Paths, AWalkStartedInAFolderThatCannotBeListedProceeds) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), ok_reply()});
    session_run run;
    write_file(run.work.path / "pics" / "a.jpg", "aaaa");
    write_file(run.work.path / "pics" / "sub" / "b.jpg", "bb");
    write_file(run.work.path / "top.jpg", "top");
    write_file(run.work.path / "more" / "c.jpg", "c");
    for (const auto& entry : fs::recursive_directory_iterator(run.work.path)) {
        fs::permissions(entry.path(), fs::perms::all);
    }
    fs::permissions(run.work.path, fs::perms::owner_all | fs::perms::group_write |
                                       fs::perms::group_exec | fs::perms::others_write |
                                       fs::perms::others_exec);  // 0733: no listing
    fs::permissions(run.appdata.path, fs::perms::all);
    run.arguments = {"pics", "top.jpg", "more"};
    run.unprivileged = true;
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    std::vector<entry> expected;
    walk_in_listing_order(run.work.path / "pics", expected);
    expected.push_back({"top.jpg", "top"});
    expected.push_back({"c.jpg", "c"});
    EXPECT_EQ(uploaded_body(run), archive_body(expected));
}

// The walk reads files ahead of itself: the archive keeps the listing's order and the limits
// as they were, and nothing but a regular file is ever opened (a FIFO with no writer would hold
// the run; a writer waiting on it would be let through).
TEST(Paths, ReadingAheadKeepsTheOrderAndOpensNothingButFiles) {
    scripted_gallery gallery({limits_reply("-1:30:1000"), ok_reply()});
    session_run run;
    const fs::path pics = run.work.path / "pics";
    for (int i = 0; i < 40; ++i) {
        const std::size_t size = i % 3 == 0 ? 1500 : 500;  // every third over the size limit
        write_file(pics / ("p" + std::to_string(i) + ".jpg"),
                   std::string(size, static_cast<char>('a' + i % 26)));
    }
    write_file(pics / "sub" / "s.jpg", "in the middle of the listing");
    write_file(pics / ".dot.jpg", "skipped");
    ASSERT_EQ(::mkfifo((pics / "pipe.jpg").c_str(), 0666), 0);
    // Opening the FIFO for writing returns only once someone opens it for reading.
    std::atomic<bool> opened{false};
    std::thread writer([&] {
        const int fd = ::open((pics / "pipe.jpg").c_str(), O_WRONLY);
        opened = true;
        if (fd >= 0) ::close(fd);
    });
    run.arguments = {"pics"};
    const program_result result = run.run(gallery);
    const bool opened_by_client = opened.load();
    // Let the writer go.
    const int reader = ::open((pics / "pipe.jpg").c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(reader);
    EXPECT_FALSE(opened_by_client);

    std::vector<entry> listed;
    walk_in_listing_order(pics, listed);
    std::vector<entry> kept;
    std::string err;
    bool size_warned = false;
    bool count_warned = false;
    for (const entry& e : listed) {
        if (kept.size() >= 30) {
            if (!count_warned) {
                err +=
                    "server refuses to accept more than 30 files per session, the rest is "
                    "ignored\n";
            }
            count_warned = true;
        } else if (e.data.size() > 1000) {
            if (!size_warned) {
                err += "server refuses to accept files bigger than 0K, big images ignored\n";
            }
            size_warned = true;
        } else {
            kept.push_back(e);
        }
    }
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(uploaded_body(run), archive_body(kept));
}

TEST(Paths, ALinkBackIntoTheWalkIsNotFollowedRoundInCircles) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), ok_reply()});
    session_run run;
    const fs::path top = run.work.path / "top";
    write_file(top / "t.jpg", "t");
    write_file(top / "sub" / "s.jpg", "s");
    write_file(run.work.path / "other" / "o.jpg", "o");
    fs::create_directory_symlink("..", top / "sub" / "up");      // back to top
    fs::create_directory_symlink(".", top / "sub" / "self");     // to itself
    fs::create_directory_symlink("../other", top / "sideways");  // not an ancestor: walked
    run.arguments = {"top"};
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    std::vector<entry> expected;
    walk_in_listing_order(top, expected);  // the test's walk follows no links
    std::string body = uploaded_body(run);
    for (const entry& e : expected) {
        EXPECT_NE(body.find(utf16le(":" + e.name + "\n")), std::string::npos) << e.name;
    }
    EXPECT_NE(body.find(utf16le(":o.jpg\n")), std::string::npos);
    EXPECT_EQ(body.size(), archive_body({{"t.jpg", "t"}, {"s.jpg", "s"}, {"o.jpg", "o"}}).size());
}

TEST(Paths, FilesTooLargeForTheIndexAreTurnedAwayUnread) {
    struct row {
        std::string limits;
        std::uint64_t size;
        std::string err;
        std::vector<std::string> arguments = {"huge.bin", "huge.bin", "small.jpg"};
    };
    const std::string format_warning =
        "files of 1000000000 bytes or more cannot be sent, such files ignored\n";
    const row rows[] = {
        {"-1:-1:-1", 1000000000, format_warning},
        {"-1:-1:-1", 4294967295ull, format_warning},
        // Past 32 bits the size is still compared whole, never as a 5-byte file. With no limit
        // from the gallery, only the format turns it away.
        {"-1:-1:-1", (1ull << 32) + 5, format_warning},
        {"-1:-1:-2", (1ull << 32) + 5,
         "server refuses to accept files bigger than 4194303K, big images ignored\n"},
        {"-1:-1:2097152", (1ull << 32) + 5,
         "server refuses to accept files bigger than 2048K, big images ignored\n"},
        // The count test still comes first.
        {"-1:1:-1",
         (1ull << 32) + 5,
         "server refuses to accept more than 1 files per session, the rest is ignored\n",
         {"small.jpg", "huge.bin"}},
    };
    for (const row& r : rows) {
        scripted_gallery gallery({limits_reply(r.limits), ok_reply()});
        session_run run;
        const fs::path huge = run.work.path / "huge.bin";
        write_file(huge, "");
        fs::resize_file(huge, r.size);  // sparse: nothing is written
        write_file(run.work.path / "small.jpg", "small");
        run.arguments = r.arguments;
        const program_result result = run.run(gallery);
        EXPECT_EQ(result.exit_code, 0) << r.size;
        EXPECT_EQ(result.err, r.err) << r.size;
        EXPECT_EQ(uploaded_body(run), archive_body({{"small.jpg", "small"}})) << r.size;
    }
}

TEST(Paths, LongPathsAndNamesThatAreNotUtf8AreKeptWhole) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), ok_reply()});
    session_run run;
    fs::path deep = run.work.path;
    std::string relative;
    for (int i = 0; i < 8; ++i) {
        const std::string part(40, static_cast<char>('a' + i));
        deep /= part;
        relative += part + "/";
    }
    relative += "deep.jpg";
    ASSERT_GT(relative.size(), 300u);
    write_file(deep / "deep.jpg", "deep");
    write_file(run.work.path / "odd" / "\xFF\xE9.jpg", "latin-1 name");
    write_file(run.work.path / "\xFE.jpg", "top-level odd");
    run.arguments = {relative, "odd", "\xFE.jpg"};
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    const std::string body = uploaded_body(run);
    EXPECT_EQ(body, archive_body({{relative, "deep"},
                                  {"\xFF\xE9.jpg", "latin-1 name"},
                                  {"\xFE.jpg", "top-level odd"}}));
    // Each byte that is not UTF-8 travels as one unit of its own.
    EXPECT_NE(body.find(std::string("\xFF\xDC\xE9\xDC.\x00", 6)), std::string::npos);
}
