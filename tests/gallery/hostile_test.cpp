// The stand-in gallery against hostile clients: every attack against the real server process,
// with its memory read from /proc before and after; its time limits, its stop, and a folder
// swapped under an upload in progress.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "gallery_support.h"

namespace fs = std::filesystem;

namespace {

// Under AddressSanitizer freed memory is held back in quarantine instead of going back to the
// allocator, so what the server keeps after an attack is not its own doing there; the bounds on
// the peak hold in both builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool freed_memory_is_reused = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool freed_memory_is_reused = false;
#else
constexpr bool freed_memory_is_reused = true;
#endif
#else
constexpr bool freed_memory_is_reused = true;
#endif

constexpr long most_peak_kib = 64 * 1024;
// A server that held what it was sent would grow by at least that much.
constexpr long most_growth_kib = 16 * 1024;
// What the server may still hold once every connection of an attack has ended.
constexpr long most_kept_kib = 4 * 1024;

using namespace std::chrono_literals;

void expect_memory_bound(const char* what, const memory_use& before, const memory_use& after) {
    std::printf("memory under %s: %ld KiB before, %ld KiB at the peak, %ld KiB after\n", what,
                before.resident_kib, after.peak_kib, after.resident_kib);
    EXPECT_LT(after.peak_kib, most_peak_kib) << what;
    EXPECT_LT(after.peak_kib - before.resident_kib, most_growth_kib) << what;
    if (freed_memory_is_reused) {
        EXPECT_LT(after.resident_kib - before.resident_kib, most_kept_kib) << what;
    }
}

// The connections stay open until the server has dealt with each, so that they all weigh on
// it at once.
struct flood {
    std::string start;
    std::string filler;  // sent over and over after the start
    int status;          // what the server answers before it closes
};

// Several clients at once, each opening connection after connection; returns the bytes they got
// sent in all before the server ended their connections (most of them into socket buffers).
std::size_t run_flood(int port, const flood& attack) {
    constexpr int clients = 16;
    constexpr int connections_each = 4;
    constexpr std::size_t most_per_connection = 64 << 20;
    std::atomic<std::size_t> taken{0};
    std::vector<std::thread> threads;
    for (int client = 0; client < clients; ++client) {
        threads.emplace_back([&] {
            for (int i = 0; i < connections_each; ++i) {
                http_connection connection(port);
                taken += send_until_refused(connection, attack.start, attack.filler,
                                            most_per_connection);
                EXPECT_EQ(status_before_end(connection), attack.status);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    return taken;
}

std::string upload_head(std::size_t length) {
    return "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(length) + "\r\nContent-Type: " + std::string(upload_content_type) +
           "\r\n\r\n";
}

TEST(Hostile, MemoryStaysBoundedUnderEveryAttack) {
    const std::string long_filler(65536, 'a');
    const std::string chunked_head =
        "POST /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct attack_case {
        const char* what;
        flood attack;
    };
    const attack_case cases[] = {
        {"a large body to another path",
         {"POST /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 268435456\r\n\r\n",
          long_filler, 413}},
        {"a large chunked body to another path", {chunked_head + "10000\r\n", long_filler, 411}},
        {"a request line that never ends", {"GET /", long_filler, 414}},
        {"a header line that never ends",
         {"GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: ", long_filler, 431}},
        {"an endless run of short header lines",
         {"GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n", "X-Short: y\r\n", 431}},
        {"a chunk-size line that never ends", {chunked_head, std::string(65536, '1'), 411}},
        {"a trailer line that never ends", {chunked_head + "0\r\nX-Trailer: ", long_filler, 411}},
        {"a chunked upload",
         {"POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " +
              std::string(upload_content_type) + "\r\nTransfer-Encoding: chunked\r\n\r\n",
          long_filler, 400}},
    };
    for (const attack_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        auto gallery = start_gallery(dir.path / "storage");
        ASSERT_GT(gallery->port, 0);
        const memory_use before = memory_of(gallery->pid);
        const std::size_t taken = run_flood(gallery->port, c.attack);
        std::printf("%s: %zu bytes sent in all\n", c.what, taken);
        const memory_use after = memory_of(gallery->pid);
        expect_memory_bound(c.what, before, after);
        EXPECT_EQ(round_trip(gallery->port, get_request("/add/limits.aspx")).status, 200);
        EXPECT_EQ(list_tree(dir.path / "storage"), std::vector<std::string>{});
    }
}

TEST(Hostile, StreamsALargeUploadStraightToDisk) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage, {"--limits", "-1:-1:-1"});
    ASSERT_GT(gallery->port, 0);
    // Each MiB is marked with its number, so a block repeated or left out shows.
    const std::string block = pattern_bytes(1 << 20, 20);
    std::string big;
    for (char number = 0; number < 32; ++number) big += number + block;
    const std::string request = upload_request(make_archive({{u"big.raw", big}}));
    const memory_use before = memory_of(gallery->pid);
    const http_reply reply = round_trip(gallery->port, request);
    const memory_use after = memory_of(gallery->pid);
    ASSERT_EQ(reply.status, 200) << reply.body;
    expect_memory_bound("a 32 MiB upload", before, after);
    EXPECT_EQ(read_folder(storage / "upload-000001"),
              (std::map<std::string, std::string>{{"big.raw", big}}));
}

// Connections that send nothing, half a head, half an upload, or a byte now and then, all from
// the one address a legitimate client also uses: they must not keep it from being served.
TEST(Hostile, ServesAnUploadWhileHundredsOfConnectionsStall) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage);
    ASSERT_GT(gallery->port, 0);
    const int port = gallery->port;
    const memory_use before = memory_of(gallery->pid);
    const std::string half_upload =
        upload_request(make_archive({{u"half.jpg", pattern_bytes(200000, 21)}}));
    std::vector<std::unique_ptr<http_connection>> stalled;
    std::vector<http_connection*> dripping;
    for (int i = 0; i < 200; ++i) {
        stalled.push_back(std::make_unique<http_connection>(port));
        http_connection& connection = *stalled.back();
        switch (i % 4) {
            case 0:
                break;
            case 1:
                send_bytes(connection, "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nCont");
                break;
            case 2:
                send_bytes(connection, std::string_view(half_upload).substr(0, 100000));
                break;
            case 3:
                dripping.push_back(&connection);
                break;
        }
    }
    std::atomic<bool> stop_dripping{false};
    std::thread drip([&] {
        const std::string head = get_request("/add/limits.aspx");
        for (std::size_t at = 0; !stop_dripping && at < head.size(); ++at) {
            for (http_connection* connection : dripping) {
                send(connection->fd, head.data() + at, 1, MSG_NOSIGNAL);
            }
            std::this_thread::sleep_for(200ms);
        }
    });

    const std::string data = pattern_bytes(300000, 22);
    const http_reply reply = round_trip(port, upload_request(make_archive({{u"legit.jpg", data}})));
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(read_folder(storage / folder_of(reply)),
              (std::map<std::string, std::string>{{"legit.jpg", data}}));

    // Another address past its own connection limit is turned away, and still nobody else is.
    constexpr int over_limit = 300;
    std::vector<std::unique_ptr<http_connection>> crowd;
    for (int i = 0; i < over_limit; ++i) {
        crowd.push_back(std::make_unique<http_connection>(port, "127.0.0.2"));
        send(crowd.back()->fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    }
    const auto count_closed = [&] {
        return std::count_if(crowd.begin(), crowd.end(),
                             [](const auto& connection) { return closed_already(*connection); });
    };
    const long turned_away = over_limit - 256;
    for (int tries = 0; tries < 1000 && count_closed() < turned_away; ++tries) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(round_trip(port, get_request("/add/limits.aspx")).status, 200);
    EXPECT_EQ(count_closed(), turned_away);

    stop_dripping = true;
    drip.join();
    stalled.clear();
    crowd.clear();
    // Each half upload leaves a line once the server has seen its connection end.
    wait_for_output(*gallery, "POST /add/Client.aspx dropped: the connection ended\n", 50);
    EXPECT_EQ(round_trip(port, get_request("/add/limits.aspx")).status, 200);
    expect_memory_bound("200 stalled connections and 256 from another address", before,
                        memory_of(gallery->pid));
    EXPECT_EQ(top_entries(storage), std::vector<std::string>{folder_of(reply)});
}

// Requests refused on their head alone are answered before their body, which is never sent
// here; those within the limits keep the connection for the next request.
TEST(Hostile, AnswersOverTheLimitsBeforeTheBody) {
    const auto head_of = [](std::string_view path, std::string_view fields) {
        return "POST " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
               std::string(fields) + "\r\n";
    };
    const auto padded_get = [](std::size_t head_bytes) {
        const std::string bare =
            "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: \r\n\r\n";
        std::string request = bare;
        request.insert(bare.size() - 4, head_bytes - bare.size(), 'p');
        return request;
    };
    const std::string type = "Content-Type: " + std::string(upload_content_type) + "\r\n";
    struct early_case {
        const char* what;
        std::string request;
        int status;
        const char* reason;  // part of the answer, or null
        bool keeps_connection;
    };
    const early_case cases[] = {
        {"an upload over the archive limit", upload_head(10485761), 413,
         "the archive is 10485761 bytes, over the limit of 10485760", false},
        {"an upload without a length",
         head_of("/add/Client.aspx", type + "Transfer-Encoding: chunked\r\n"), 400,
         "the request has no usable Content-Length", false},
        {"both framings on an upload",
         head_of("/add/Client.aspx", type + "Transfer-Encoding: chunked\r\nContent-Length: 24\r\n"),
         400, "the request has both Transfer-Encoding and Content-Length", false},
        {"both framings elsewhere",
         head_of("/add/limits.aspx", "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n"), 400,
         "the request has both Transfer-Encoding and Content-Length", false},
        {"two lengths",
         head_of("/add/Client.aspx", type + "Content-Length: 24\r\nContent-Length: 25\r\n"), 400,
         nullptr, false},
        {"a body over 4 KiB elsewhere", head_of("/add/limits.aspx", "Content-Length: 4097\r\n"),
         413, "a body here may hold at most 4096 bytes", false},
        {"a body of unknown length elsewhere",
         head_of("/somewhere", "Transfer-Encoding: chunked\r\n"), 411,
         "a body here needs a Content-Length", false},
        {"a body of 4 KiB elsewhere",
         head_of("/somewhere", "Content-Length: 4096\r\n") + std::string(4096, 'b'), 404, nullptr,
         true},
        {"a head over 8 KiB", padded_get(8300), 431, "the request head is over 8192 bytes", false},
        {"a head of nearly 8 KiB", padded_get(8000), 200, nullptr, true},
    };
    temp_dir dir;
    auto gallery = start_gallery(dir.path / "storage");
    ASSERT_GT(gallery->port, 0);
    for (const early_case& c : cases) {
        SCOPED_TRACE(c.what);
        http_connection connection(gallery->port);
        send_bytes(connection, c.request);
        const http_reply reply = read_reply(connection);
        EXPECT_EQ(reply.status, c.status);
        if (c.reason != nullptr) {
            EXPECT_EQ(reply.body, std::string(c.reason) + "\n");
        }
        if (c.keeps_connection) {
            send_bytes(connection, get_request("/add/limits.aspx"));
            EXPECT_EQ(read_reply(connection).status, 200);
        } else {
            EXPECT_TRUE(ends_without_answer(connection));
        }
    }
    EXPECT_EQ(list_tree(dir.path / "storage"), std::vector<std::string>{});
}

// Short time limits, and clients that each stay just inside all but one of them.
TEST(Hostile, EndsConnectionsPastTheirTimeLimits) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage, {"--idle-timeout", "1", "--head-timeout", "3",
                                           "--upload-minimum", "2", "--upload-rate", "1000"});
    ASSERT_GT(gallery->port, 0);
    const int port = gallery->port;
    const auto try_send = [](http_connection& connection, std::string_view bytes) {
        send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    };

    http_connection silent(port);
    http_connection after_an_answer(port);
    send_bytes(after_an_answer, get_request("/add/limits.aspx"));
    EXPECT_EQ(read_reply(after_an_answer).status, 200);
    // Never silent for a second, but the head is not whole within three.
    http_connection dripped_head(port);
    const std::string head = get_request("/add/limits.aspx");
    // An upload of 1000 bytes has the two-second minimum, and gets a byte every quarter second.
    http_connection dripped_upload(port);
    send_bytes(dripped_upload, upload_head(1000));
    // 6000 bytes at 1000 a second have six seconds, which sending them in three fits.
    http_connection steady_upload(port);
    const std::string steady_data = pattern_bytes(5900, 23);
    const std::string steady = upload_request(make_archive({{u"steady.jpg", steady_data}}));
    ASSERT_GT(steady.size(), 6000u);

    std::size_t steady_sent = 0;
    for (std::size_t tick = 0; tick < 20; ++tick) {
        try_send(dripped_head, head.substr(tick, 1));
        try_send(dripped_upload, "x");
        const std::size_t piece = std::min<std::size_t>(550, steady.size() - steady_sent);
        send_bytes(steady_upload, std::string_view(steady).substr(steady_sent, piece));
        steady_sent += piece;
        std::this_thread::sleep_for(250ms);
    }
    const http_reply steady_reply = read_reply(steady_upload);
    EXPECT_EQ(steady_reply.status, 200) << steady_reply.body;
    EXPECT_TRUE(ends_without_answer(silent));
    EXPECT_TRUE(ends_without_answer(after_an_answer));
    EXPECT_TRUE(ends_without_answer(dripped_head));
    EXPECT_TRUE(ends_without_answer(dripped_upload));
    wait_for_output(*gallery, "POST /add/Client.aspx dropped: not finished within 2 s\n");
    EXPECT_EQ(top_entries(storage), std::vector<std::string>{folder_of(steady_reply)});
}

TEST(Hostile, StopsWithAnUploadDrippingIn) {
    temp_dir dir;
    const fs::path storage = dir.path / "storage";
    auto gallery = start_gallery(storage, {"--stop-grace", "1"});
    ASSERT_GT(gallery->port, 0);
    http_connection kept(gallery->port);
    send_bytes(kept, get_request("/add/limits.aspx"));
    EXPECT_EQ(read_reply(kept).status, 200);
    const std::string request =
        upload_request(make_archive({{u"slow.jpg", pattern_bytes(5000, 24)}}));
    http_connection dripping(gallery->port);
    send_bytes(dripping, std::string_view(request).substr(0, request.size() - 4000));
    while (top_entries(storage).empty()) std::this_thread::yield();

    kill(gallery->pid, SIGTERM);
    wait_for_output(*gallery, "stopping; 1 upload in progress\n");
    EXPECT_TRUE(refuses_connections(gallery->port));
    send_bytes(kept, upload_head(24));
    const http_reply refused = read_reply(kept);
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body, "the gallery is stopping\n");
    std::thread drip([&] {
        std::size_t at = request.size() - 4000;
        while (at < request.size() &&
               send(dripping.fd, request.data() + at, 1, MSG_NOSIGNAL) == 1) {
            ++at;
            std::this_thread::sleep_for(50ms);
        }
    });
    const stopped_gallery stopped = wait_for_exit(*gallery);
    drip.join();
    EXPECT_TRUE(exited_with(stopped.wait_status, 0));
    EXPECT_NE(stopped.output.find("POST /add/Client.aspx dropped: the gallery stopped\n"),
              std::string::npos)
        << stopped.output;
    EXPECT_TRUE(stopped.output.ends_with("stopped; 1 upload dropped\n")) << stopped.output;
    EXPECT_EQ(list_tree(storage), std::vector<std::string>{});
}

// The hidden folder is swapped while the upload is half in: nothing may be published, and
// nothing written where the swapped-in name leads.
TEST(Hostile, PublishesNothingWhenTheFolderIsSwappedMidUpload) {
    for (const bool for_a_link : {true, false}) {
        SCOPED_TRACE(for_a_link ? "swapped for a link" : "swapped for another folder");
        temp_dir dir;
        const fs::path storage = dir.path / "storage";
        const fs::path elsewhere = dir.path / "elsewhere";
        fs::create_directory(elsewhere);
        write_file(elsewhere / "keep.txt", "kept");
        auto gallery = start_gallery(storage);
        ASSERT_GT(gallery->port, 0);
        const std::string request = upload_request(make_archive(
            {{u"first.jpg", pattern_bytes(3000, 25)}, {u"second.jpg", pattern_bytes(3000, 26)}}));
        http_connection connection(gallery->port);
        send_bytes(connection, std::string_view(request).substr(0, request.size() - 1000));
        while (top_entries(storage).empty()) std::this_thread::yield();
        const std::string partial = top_entries(storage).front();
        // Both files exist once the server has the folder open and is writing into it.
        while (!fs::exists(storage / partial / "second.jpg")) std::this_thread::yield();

        fs::rename(storage / partial, dir.path / "moved");
        if (for_a_link) {
            fs::create_directory_symlink(elsewhere, storage / partial);
        } else {
            fs::create_directory(storage / partial);
        }
        send_bytes(connection, std::string_view(request).substr(request.size() - 1000));
        const http_reply reply = read_reply(connection);
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(reply.body, "the upload folder was moved or replaced while it was written\n");
        EXPECT_EQ(top_entries(storage), std::vector<std::string>{partial});
        EXPECT_EQ(list_tree(elsewhere), std::vector<std::string>{"keep.txt"});
        EXPECT_EQ(list_tree(dir.path / "moved"), std::vector<std::string>{});
    }
}

}  // namespace
