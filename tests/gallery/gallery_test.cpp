#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "gallery_support.h"

namespace fs = std::filesystem;

namespace {

const std::string empty_archive = make_archive({});

std::string stored_reply(std::size_t files, std::size_t bytes, const std::string& folder) {
    char text[128];
    std::snprintf(text, sizeof text, "stored %zu %s, %zu %s in %s\n", files,
                  files == 1 ? "file" : "files", bytes, bytes == 1 ? "byte" : "bytes",
                  folder.c_str());
    return text;
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

TEST(Gallery, AnswersTheConfiguredLimits) {
    struct limits_case {
        std::vector<std::string> arguments;
        std::string answer;
    };
    const limits_case cases[] = {
        {{}, "10485760:100:2097152"},
        {{"--limits", "-1:-1:-1"}, "-1:-1:-1"},
        {{"--limits", "0:0:0"}, "0:0:0"},
        {{"--limits", "2147483647:-2147483648:7"}, "2147483647:-2147483648:7"},
    };
    for (const limits_case& c : cases) {
        SCOPED_TRACE(c.answer);
        temp_dir dir;
        auto gallery = start_gallery(dir.path / "storage", c.arguments);
        ASSERT_GT(gallery->port, 0);
        const http_reply reply = round_trip(gallery->port, get_request("/add/limits.aspx"));
        EXPECT_EQ(reply.status, 200);
        EXPECT_TRUE(reply.has_content_length);
        EXPECT_EQ(reply.body, c.answer);
    }
}

TEST(Gallery, AnswersAnythingElseWith404) {
    temp_dir dir;
    auto gallery = start_gallery(dir.path / "storage");
    ASSERT_GT(gallery->port, 0);
    const std::string requests[] = {
        get_request("/"),
        get_request("/add/Client.aspx"),
        get_request("/add/limitsXaspx"),
        get_request("/add/limits.aspx/more"),
        get_request("/add/LIMITS.aspx"),
        get_request("/x/add/limits.aspx"),
        "POST /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n",
        replaced(upload_request(empty_archive), "/add/Client.aspx", "/add/ClientXaspx"),
        replaced(upload_request(empty_archive), "/add/Client.aspx", "/add/client.aspx"),
    };
    for (const std::string& request : requests) {
        SCOPED_TRACE(request.substr(0, request.find('\r')));
        EXPECT_EQ(round_trip(gallery->port, request).status, 404);
    }
    EXPECT_TRUE(list_tree(dir.path / "storage").empty());
}

TEST(Gallery, StoresValidArchives) {
    const std::string big = pattern_bytes(3 * 1024 * 1024 + 17, 1);
    struct valid_case {
        const char* what;
        std::vector<archive_file> files;
        std::map<std::string, std::string> stored;
        std::vector<std::string> arguments = {};
        std::u16string codes = u"L";
        std::u16string flag = u"true";
    };
    const valid_case cases[] = {
        {"no files", {}, {}},
        {"files with zero-byte ones among them",
         {{u"a.jpg", pattern_bytes(1500, 2)},
          {u"empty.gif", ""},
          {u"bb.png", pattern_bytes(20, 3)},
          {u"last.bmp", ""}},
         {{"a.jpg", pattern_bytes(1500, 2)},
          {"empty.gif", ""},
          {"bb.png", pattern_bytes(20, 3)},
          {"last.bmp", ""}}},
        {"names outside the basic plane",
         {{u"\U0001F4F7 camera.jpg", "cam"}, {u"日本.png", "jp"}, {u"\U00020000", "x"}},
         {{"\U0001F4F7 camera.jpg", "cam"}, {"日本.png", "jp"}, {"\U00020000", "x"}}},
        {"nested-looking names keep their last component",
         {{u"a\\b\\c.jpg", "c"}, {u"x/y.jpg", "y"}, {u"p/q\\r.png", "r"}},
         {{"c.jpg", "c"}, {"y.jpg", "y"}, {"r.png", "r"}}},
        {"files of one stored name are all kept",
         {{u"a.jpg", "1"},
          {u"a.jpg", "2"},
          {u"dir\\a.jpg", "3"},
          {u"a (2).jpg", "4"},
          {u"z", "5"},
          {u"z", "6"}},
         {{"a.jpg", "1"},
          {"a (2).jpg", "2"},
          {"a (3).jpg", "3"},
          {"a (2) (2).jpg", "4"},
          {"z", "5"},
          {"z (2)", "6"}}},
        {"a file larger than any single read",
         {{u"small.jpg", "s"}, {u"big.raw", big}, {u"after.jpg", "a"}},
         {{"small.jpg", "s"}, {"big.raw", big}, {"after.jpg", "a"}},
         {"--limits", "-1:-1:-1"}},
        {"the most code letters and a flag outside ASCII",
         {{u"p.jpg", "p"}},
         {{"p.jpg", "p"}},
         {},
         u"LGIBZEKHLGIBZEKHLGIB",
         u"é\U0001F600"},
    };
    for (const valid_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        const fs::path storage = dir.path / "storage";
        auto gallery = start_gallery(storage, c.arguments);
        ASSERT_GT(gallery->port, 0);
        const std::string body = make_archive(c.files, c.codes, c.flag);
        const http_reply reply = round_trip(gallery->port, upload_request(body));
        std::size_t bytes = 0;
        for (const archive_file& file : c.files) bytes += file.data.size();
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, stored_reply(c.files.size(), bytes, "upload-000001"));
        EXPECT_EQ(top_entries(storage), std::vector<std::string>{"upload-000001"});
        EXPECT_EQ(read_folder(storage / "upload-000001"), c.stored);
    }
}

TEST(Gallery, RejectsMalformedArchivesAndStoresNothing) {
    const auto body = [](std::u16string_view head, std::string_view data = "") {
        return utf16le(head) + std::string(data);
    };
    const auto with_unit = [](std::u16string before, char16_t unit, std::u16string_view after) {
        return before + unit + std::u16string(after);
    };
    struct malformed_case {
        const char* what;
        const char* reason;  // part of the answer that says what is wrong
        std::string request;
    };
    const malformed_case cases[] = {
        {"wrong version", "version line", upload_request(body(u"2.1\nL\ntrue\n\n"))},
        {"CR LF line ends", "version line", upload_request(body(u"2.0\r\nL\r\ntrue\r\n\r\n"))},
        {"byte order mark", "version line", upload_request("\xFF\xFE" + empty_archive)},
        {"bad code letter", "codes line", upload_request(body(u"2.0\nLX\ntrue\n\n"))},
        {"lower-case code letter", "codes line", upload_request(body(u"2.0\nl\ntrue\n\n"))},
        {"no code letters", "codes line", upload_request(body(u"2.0\n\ntrue\n\n"))},
        {"21 code letters", "codes line",
         upload_request(body(u"2.0\nLGIBZEKHLGIBZEKHLGIBZ\ntrue\n\n"))},
        {"empty flag", "flag line", upload_request(body(u"2.0\nL\n\n\n"))},
        {"flag with a space", "flag line", upload_request(body(u"2.0\nL\ntr ue\n\n"))},
        {"flag of 11 characters", "flag line", upload_request(body(u"2.0\nL\nabcdefghijk\n\n"))},
        {"index line with eight digits", "index line 1: the size is not nine",
         upload_request(body(u"2.0\nL\ntrue\n00000003:abc\n\n", "abc"))},
        {"index line with ten digits", "index line 1: no colon",
         upload_request(body(u"2.0\nL\ntrue\n0000000003:abc\n\n", "abc"))},
        {"index line without a colon", "index line 1: no colon",
         upload_request(body(u"2.0\nL\ntrue\n000000003abc\n\n", "abc"))},
        {"index line without a name", "index line 1: the file name is empty",
         upload_request(body(u"2.0\nL\ntrue\n000000003:\n\n", "abc"))},
        {"no empty line after the index", "ends inside an index line",
         upload_request(body(u"2.0\nL\ntrue\n000000004:abc\n", "abcd"))},
        {"data shorter than the index says", "shorter than the index",
         upload_request(body(u"2.0\nL\ntrue\n000000003:abc\n000000002:d\n\n", "abcd"))},
        {"data longer than the index says", "longer than the index",
         upload_request(body(u"2.0\nL\ntrue\n000000003:abc\n\n", "abcd"))},
        {"odd byte count inside the head", "half a UTF-16 unit",
         upload_request(empty_archive.substr(0, 23))},
        {"odd stray byte after an empty index", "longer than the index",
         upload_request(empty_archive + "x")},
        {"unpaired high surrogate in a name", "not valid UTF-16",
         upload_request(utf16le(with_unit(u"2.0\nL\ntrue\n000000001:a", 0xD800, u".jpg\n\n")) +
                        "x")},
        {"unpaired low surrogate in a name", "not valid UTF-16",
         upload_request(utf16le(with_unit(u"2.0\nL\ntrue\n000000001:", 0xDC00, u"a\n\n")) + "x")},
        {"high surrogate ending a name", "not valid UTF-16",
         upload_request(utf16le(with_unit(u"2.0\nL\ntrue\n000000001:a", 0xD83D, u"\n\n")) + "x")},
        {"empty body", "ends inside the version line", upload_request("")},
        {"wrong content type", "Content-Type", upload_request(empty_archive, "text/plain")},
        {"no content type", "Content-Type",
         "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n"
         "Content-Length: 24\r\n\r\n" +
             empty_archive},
    };
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    for (const malformed_case& c : cases) {
        SCOPED_TRACE(c.what);
        const http_reply reply = round_trip(gallery->port, c.request);
        EXPECT_EQ(reply.status, 400);
        EXPECT_NE(reply.body.find(c.reason), std::string::npos) << reply.body;
        EXPECT_EQ(std::count(reply.body.begin(), reply.body.end(), '\n'), 1);
        EXPECT_TRUE(reply.body.ends_with('\n'));
        EXPECT_EQ(list_tree(storage), std::vector<std::string>{});
    }
}

TEST(Gallery, RejectsArchivesOverItsLimits) {
    const std::vector<archive_file> two_files{{u"a.jpg", "aaaa"}, {u"b.jpg", "bb"}};
    const std::vector<archive_file> three_files{{u"a", "1"}, {u"b", "2"}, {u"c", "3"}};
    struct limit_case {
        const char* what;
        std::string limits;  // "{body}" stands for the body's length
        std::vector<archive_file> files;
        const char* rejection;  // part of the 400 answer, or null where the upload is within limits
    };
    const limit_case cases[] = {
        {"as many files as allowed", "1000:3:100", three_files, nullptr},
        {"one file too many", "1000:2:100", three_files, "more than 2 files"},
        {"no files allowed, none sent", "1000:0:100", {}, nullptr},
        {"no files allowed, one sent", "1000:0:100", {{u"a", "1"}}, "more than 0 files"},
        {"a file exactly at the size limit", "1000:10:4", two_files, nullptr},
        {"a file one byte over the size limit", "1000:10:3", two_files,
         "index line 1: the file is 4 bytes, over the limit of 3"},
        {"zero-byte files under a zero size limit", "1000:10:0", {{u"a", ""}, {u"b", ""}}, nullptr},
        {"a body exactly at the archive limit", "{body}:10:100", two_files, nullptr},
        {"no limits at all", "-1:-1:-1", three_files, nullptr},
    };
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string body = make_archive(c.files);
        const std::string limits = replaced(c.limits, "{body}", std::to_string(body.size()));
        temp_dir dir;
        const fs::path storage = dir.path / "storage";
        auto gallery = start_gallery(storage, {"--limits", limits});
        ASSERT_GT(gallery->port, 0);
        const http_reply reply = round_trip(gallery->port, upload_request(body));
        if (c.rejection == nullptr) {
            EXPECT_EQ(reply.status, 200) << reply.body;
            EXPECT_EQ(top_entries(storage), std::vector<std::string>{"upload-000001"});
        } else {
            EXPECT_EQ(reply.status, 400);
            EXPECT_NE(reply.body.find(c.rejection), std::string::npos) << reply.body;
            EXPECT_EQ(list_tree(storage), std::vector<std::string>{});
        }
    }
}

TEST(Gallery, StoresHostileNamesHarmlesslyInsideTheUploadFolder) {
    const std::u16string long_stem(300, u'a');
    const std::u16string long_accented(200, u'é');
    const std::vector<std::pair<std::u16string, std::string>> names = {
        {u"..\\..\\evil", "evil"},
        {u"../../evil", "evil (2)"},
        {u"/etc/passwd", "passwd"},
        {u"C:\\x", "x"},
        {u"C:y", "C_y"},
        {u"name:stream", "name_stream"},
        {u"a\x01"
         u"b\x1f\x7f.jpg",
         "a_b__.jpg"},
        {u"tab\there", "tab_here"},
        {u"\r", "_"},
        {u".hidden", "_.hidden"},
        {u"..evil", "_..evil"},
        {u"..", "unnamed"},
        {u".", "unnamed (2)"},
        {u"folder\\", "unnamed (3)"},
        {u"sub/..", "unnamed (4)"},
        {long_stem + u".jpg", std::string(251, 'a') + ".jpg"},
        {long_accented + u".png",
         [] {
             std::string name;
             for (int i = 0; i < 125; ++i) name += "é";
             return name + ".png";
         }()},
        // Names that would read otherwise than they are, or not copy onto a Windows share.
        {u"\u202Egpj.exe", "_gpj.exe"},
        {u"a\u0085b\u009F.jpg", "a_b_.jpg"},
        {u"\u202Aleft\u202B\u202C\u202D\u2066\u2067\u2068\u2069.png", "_left_______.png"},
        {u"a<b>c\"d|e?f*g.jpg", "a_b_c_d_e_f_g.jpg"},
        {u"CON.jpg", "_CON.jpg"},
        {u"nul", "_nul"},
        {u"aux.tar.gz", "_aux.tar.gz"},
        {u"com1.png", "_com1.png"},
        {u"Lpt9", "_Lpt9"},
        {u"prn .txt", "_prn .txt"},
        {u"COM\u00B2.png", "_COM\u00B2.png"},
        {u"conin$", "_conin$"},
        {u"com10.png", "com10.png"},
        {u"console.jpg", "console.jpg"},
        {u"nul.", "_nul (2)"},
        {u"ends.jpg.", "ends.jpg"},
        {u"ends.jpg ", "ends (2).jpg"},
        {u"ENDS.JPG", "ENDS (3).JPG"},
        {u"\u00C9t\u00E9.png", "\u00C9t\u00E9.png"},
        {u"\u00E9T\u00C9.PNG", "\u00E9T\u00C9 (2).PNG"},
        {u"dots and blanks . . .", "dots and blanks"},
        {u". . .", "unnamed (5)"},
    };
    std::vector<archive_file> files;
    std::map<std::string, std::string> expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string data = "file " + std::to_string(i);
        files.push_back({names[i].first, data});
        expected[names[i].second] = data;
    }

    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    const std::vector<std::string> parent_before = list_tree(dir.path);

    const http_reply reply = round_trip(gallery->port, upload_request(make_archive(files)));
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(read_folder(storage / "upload-000001"), expected);

    std::vector<std::string> tree{"storage/", "storage/upload-000001/"};
    for (const auto& [name, data] : expected) tree.push_back("storage/upload-000001/" + name);
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(list_tree(dir.path), tree);
    EXPECT_EQ(parent_before, std::vector<std::string>{"storage/"});
}

TEST(Gallery, KeepsTheConnectionAfterARejectedUpload) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage, {"--limits", "2000:10:1000"});
    ASSERT_GT(gallery->port, 0);
    const std::string valid = make_archive({{u"kept.jpg", pattern_bytes(900, 4)}});
    const std::string over_limit = make_archive({{u"big.jpg", pattern_bytes(1900, 5)}});
    const std::string bad_version =
        utf16le(u"2.1\nL\ntrue\n000000500:x.jpg\n\n") + pattern_bytes(500, 6);

    http_connection connection(gallery->port);
    // Each rejected body is still sent in full; the next request must be read from where the
    // rejected one really ended.
    send_bytes(connection, upload_request(bad_version));
    EXPECT_EQ(read_reply(connection).status, 400);
    send_bytes(connection, upload_request(over_limit));
    EXPECT_EQ(read_reply(connection).status, 400);
    send_bytes(connection, upload_request(valid));
    const http_reply stored = read_reply(connection);
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(stored.body, stored_reply(1, 900, "upload-000001"));
    send_bytes(connection, get_request("/add/limits.aspx"));
    EXPECT_EQ(read_reply(connection).body, "2000:10:1000");

    EXPECT_EQ(list_tree(storage),
              (std::vector<std::string>{"upload-000001/", "upload-000001/kept.jpg"}));
    EXPECT_EQ(read_folder(storage / "upload-000001"),
              (std::map<std::string, std::string>{{"kept.jpg", pattern_bytes(900, 4)}}));
}

TEST(Gallery, KeepsTwoUploadsInProgressApart) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    const std::vector<archive_file> first{{u"photo.jpg", pattern_bytes(70000, 7)},
                                          {u"only-first.png", pattern_bytes(10, 8)}};
    const std::vector<archive_file> second{{u"photo.jpg", pattern_bytes(50000, 9)}, {u"empty", ""}};
    const std::string first_request = upload_request(make_archive(first));
    const std::string second_request = upload_request(make_archive(second));
    const std::size_t first_split = first_request.find("\r\n\r\n") + 4 + 5;
    const std::size_t second_split = second_request.find("\r\n\r\n") + 4 + 7;

    // Both uploads are under way, each cut at an odd byte inside its head, before the second
    // is finished and answered; only then does the first get the rest of its body.
    http_connection one(gallery->port);
    http_connection two(gallery->port);
    send_bytes(one, std::string_view(first_request).substr(0, first_split + 40001));
    send_bytes(two, std::string_view(second_request).substr(0, second_split));
    send_bytes(two, std::string_view(second_request).substr(second_split));
    const http_reply second_reply = read_reply(two);
    send_bytes(one, std::string_view(first_request).substr(first_split + 40001));
    const http_reply first_reply = read_reply(one);

    ASSERT_EQ(first_reply.status, 200);
    ASSERT_EQ(second_reply.status, 200);
    EXPECT_NE(folder_of(first_reply), folder_of(second_reply));
    EXPECT_EQ(read_folder(storage / folder_of(first_reply)),
              (std::map<std::string, std::string>{{"photo.jpg", first[0].data},
                                                  {"only-first.png", first[1].data}}));
    EXPECT_EQ(read_folder(storage / folder_of(second_reply)),
              (std::map<std::string, std::string>{{"photo.jpg", second[0].data}, {"empty", ""}}));
}

// The load test: many clients at once, each with uploads one after another on its connection,
// sent in uneven pieces so that they interleave inside the server.
TEST(Gallery, StoresEveryUploadOfManyClientsAtOnce) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    constexpr int clients = 32;
    constexpr int uploads_per_client = 10;
    const auto files_of = [](int client, int upload) {
        const auto seed = static_cast<unsigned>(client * 100 + upload);
        return std::map<std::string, std::string>{
            {"same.jpg", pattern_bytes(20000 + seed * 37 % 40000, seed)},
            {"also.png", pattern_bytes(seed % 300, seed + 50000)}};
    };
    std::vector<std::vector<http_reply>> replies(clients);
    std::vector<std::thread> threads;
    for (int client = 0; client < clients; ++client) {
        threads.emplace_back([&, client] {
            http_connection connection(gallery->port);
            for (int upload = 0; upload < uploads_per_client; ++upload) {
                std::vector<archive_file> archive;
                for (const auto& [name, data] : files_of(client, upload)) {
                    archive.push_back({std::u16string(name.begin(), name.end()), data});
                }
                const std::string request = upload_request(make_archive(archive));
                const std::size_t third = request.size() / 3 + static_cast<std::size_t>(client);
                send_bytes(connection, std::string_view(request).substr(0, third));
                send_bytes(connection, std::string_view(request).substr(third, third));
                send_bytes(connection, std::string_view(request).substr(2 * third));
                replies[client].push_back(read_reply(connection));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<std::string> folders;
    for (int client = 0; client < clients; ++client) {
        ASSERT_EQ(replies[client].size(), std::size_t{uploads_per_client});
        for (int upload = 0; upload < uploads_per_client; ++upload) {
            const http_reply& reply = replies[client][upload];
            ASSERT_EQ(reply.status, 200) << reply.body;
            EXPECT_EQ(read_folder(storage / folder_of(reply)), files_of(client, upload));
            folders.push_back(folder_of(reply));
        }
    }
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(std::adjacent_find(folders.begin(), folders.end()), folders.end());
    EXPECT_EQ(folders.front(), "upload-000001");
    EXPECT_EQ(folders.back(), "upload-000320");
    // Nothing else in the storage: no hidden folder left behind.
    EXPECT_EQ(top_entries(storage), folders);
}

TEST(Gallery, NumbersUploadsOnAfterARestart) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    {
        auto gallery = start_gallery(storage);
        ASSERT_GT(gallery->port, 0);
        EXPECT_EQ(folder_of(round_trip(gallery->port, upload_request(empty_archive))),
                  "upload-000001");
        EXPECT_TRUE(exited_with(stop_gallery(*gallery, SIGTERM).wait_status, 0));
    }
    fs::create_directory(storage / "upload-000005");
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    EXPECT_EQ(folder_of(round_trip(gallery->port, upload_request(empty_archive))), "upload-000006");
    EXPECT_EQ(list_tree(storage),
              (std::vector<std::string>{"upload-000001/", "upload-000005/", "upload-000006/"}));
}

TEST(Gallery, StopsCleanlyOnSignals) {
    for (const int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        temp_dir dir;
        auto gallery = start_gallery(dir.path / "storage");
        ASSERT_GT(gallery->port, 0);
        // Like the uploader, leave connections open: one that was used, one that never was.
        http_connection used(gallery->port);
        send_bytes(used, get_request("/add/limits.aspx"));
        EXPECT_EQ(read_reply(used).status, 200);
        http_connection idle(gallery->port);
        EXPECT_TRUE(exited_with(stop_gallery(*gallery, signal_number).wait_status, 0));
    }
}

// Waits until the server has taken in an upload's head and made its hidden folder.
void wait_for_upload_folder(const fs::path& storage) {
    while (top_entries(storage).empty()) std::this_thread::yield();
}

TEST(Gallery, FinishesAnUploadInProgressBeforeStopping) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    const std::string data = pattern_bytes(100000, 10);
    const std::string request = upload_request(make_archive({{u"late.jpg", data}}));
    const std::size_t cut = request.size() - 50000;

    http_connection connection(gallery->port);
    send_bytes(connection, std::string_view(request).substr(0, cut));
    wait_for_upload_folder(storage);
    kill(gallery->pid, SIGTERM);
    send_bytes(connection, std::string_view(request).substr(cut));
    const http_reply reply = read_reply(connection);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(exited_with(wait_for_exit(*gallery).wait_status, 0));
    EXPECT_EQ(top_entries(storage), std::vector<std::string>{"upload-000001"});
    EXPECT_EQ(read_folder(storage / "upload-000001"),
              (std::map<std::string, std::string>{{"late.jpg", data}}));
}

TEST(Gallery, StoresNothingFromAnUploadCutShort) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    const std::string request = upload_request(make_archive(
        {{u"whole.jpg", pattern_bytes(3000, 11)}, {u"cut.jpg", pattern_bytes(9000, 12)}}));
    {
        http_connection connection(gallery->port);
        send_bytes(connection, std::string_view(request).substr(0, request.size() - 4000));
        wait_for_upload_folder(storage);
    }
    // Stopping waits for the upload the server was still reading, so afterwards it has been
    // dealt with one way or the other.
    EXPECT_TRUE(exited_with(stop_gallery(*gallery, SIGTERM).wait_status, 0));
    EXPECT_EQ(list_tree(storage), std::vector<std::string>{});
}

TEST(Gallery, LogsOneLinePerRequest) {
    temp_dir dir;
    auto gallery = start_gallery(dir.path / "storage");
    ASSERT_GT(gallery->port, 0);
    EXPECT_EQ(gallery->first_line, "listening on 127.0.0.1:" + std::to_string(gallery->port));
    round_trip(gallery->port, get_request("/add/limits.aspx"));
    round_trip(gallery->port, upload_request(make_archive({{u"a.jpg", "abc"}})));
    round_trip(gallery->port, upload_request(utf16le(u"2.1\nL\ntrue\n\n")));
    round_trip(gallery->port, get_request("/nothing%0Ahere"));
    const stopped_gallery stopped = stop_gallery(*gallery, SIGTERM);
    EXPECT_EQ(stopped.output,
              "GET /add/limits.aspx 200\n"
              "POST /add/Client.aspx 200 stored 1 file, 3 bytes in upload-000001\n"
              "POST /add/Client.aspx 400 the version line is not 2.0\n"
              "GET /nothing?here 404\n"
              "stopping; 0 uploads in progress\n"
              "stopped; 0 uploads dropped\n");
}

TEST(Gallery, RefusesUnusableCommandLines) {
    temp_dir dir;
    const std::string storage = (dir.path / "storage").string();
    const std::vector<std::string> cases[] = {
        {"--port", "0"},
        {"--storage", storage},
        {"--port", "65536", "--storage", storage},
        {"--port", "-1", "--storage", storage},
        {"--port", "0", "--storage", storage, "--limits", "1:2"},
        {"--port", "0", "--storage", storage, "--limits", "1:2:3:4"},
        {"--port", "0", "--storage", storage, "--limits", "a:b:c"},
        {"--port", "0", "--storage", storage, "--limits", "1::3"},
        {"--port", "0", "--storage", storage, "--limits", "2147483648:1:1"},
        {"--port", "0", "--storage", storage, "--limits", "-2147483649:1:1"},
        {"--port", "0", "--storage", storage, "--verbose"},
        {"--port", "0", "--storage"},
        {"--port", "0", "--storage", storage, "--idle-timeout", "0"},
        {"--port", "0", "--storage", storage, "--head-timeout", "1s"},
        {"--port", "0", "--storage", storage, "--upload-rate", "0"},
        {"--port", "0", "--storage", storage, "--upload-minimum", "86401"},
        {"--port", "0", "--storage", storage, "--stop-grace", "-1"},
        {"--port", "0", "--storage", storage, "--stop-grace"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        std::string shown;
        for (const std::string& argument : arguments) shown += argument + " ";
        SCOPED_TRACE(shown);
        const finished_program finished = run_gallery_to_end(arguments);
        EXPECT_TRUE(exited_with(finished.wait_status, 2));
        EXPECT_EQ(finished.output, "");
    }
    EXPECT_FALSE(fs::exists(storage));
}

TEST(Gallery, FailsWhenItsPortIsTaken) {
    temp_dir dir;
    auto gallery = start_gallery(dir.path / "first");
    ASSERT_GT(gallery->port, 0);
    const finished_program second = run_gallery_to_end(
        {"--port", std::to_string(gallery->port), "--storage", (dir.path / "second").string()});
    EXPECT_TRUE(exited_with(second.wait_status, 1));
    EXPECT_EQ(second.output, "");
}

}  // namespace
