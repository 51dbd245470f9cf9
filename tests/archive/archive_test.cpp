#include "archive/archive.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/session_run.h"
#include "support/temp_dir.h"

namespace {

// A file of the given bytes, opened for reading as the path walk opens it.
struct open_file {
    temp_dir dir;
    std::FILE* stream = nullptr;
    explicit open_file(const std::string& bytes) {
        write_file(dir.path / "f", bytes);
        stream = std::fopen((dir.path / "f").c_str(), "rb");
    }
    ~open_file() { std::fclose(stream); }
};

std::string pattern_bytes(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

void add_file(upload_archive& archive, const std::string& bytes, const std::u16string& name) {
    open_file file(bytes);
    const auto size = static_cast<std::uint32_t>(bytes.size());
    ASSERT_TRUE(archive_add_file_data(archive, size, file.stream));
    ASSERT_TRUE(archive_add_index_entry(archive, size, name));
}

// Sends the archive over a socket pair and returns what arrived.
std::string sent_bytes(const upload_archive& archive) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string arrived;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t got = 0;
        while ((got = ::read(fds[1], buffer, sizeof buffer)) > 0) arrived.append(buffer, got);
    });
    archive_send(archive, fds[0]);
    ::close(fds[0]);
    reader.join();
    ::close(fds[1]);
    return arrived;
}

std::string index_text(const upload_archive& archive) {
    return std::string(reinterpret_cast<const char*>(archive.index), archive.index_length * 2);
}

}  // namespace

TEST(Archive, StartsEmptyAndSendsOnlyTheClosingLineFeed) {
    upload_archive archive;
    archive_init(archive);
    EXPECT_EQ(archive.index_capacity, 512u);
    EXPECT_EQ(archive.index_length, 0u);
    EXPECT_EQ(archive.file_capacity, 10u);
    EXPECT_EQ(archive.file_count, 0u);
    EXPECT_EQ(archive.size_warned, 0u);
    EXPECT_EQ(archive.count_warned, 0u);
    EXPECT_EQ(archive.body_bytes, 2u);
    EXPECT_EQ(sent_bytes(archive), std::string("\x0A\x00", 2));
    archive_release(archive);
}

TEST(Archive, WorkedExampleByteForByte) {
    upload_archive archive;
    archive_init(archive);
    const std::string a = pattern_bytes(1500, 'a');
    const std::string bb = pattern_bytes(20, 'b');
    add_file(archive, a, u"a.jpg");
    add_file(archive, bb, u"bb.png");
    EXPECT_EQ(archive.body_bytes, 1588u);
    EXPECT_EQ(sent_bytes(archive), utf16le("000001500:a.jpg\n000000020:bb.png\n\n") + a + bb);
    archive_release(archive);
}

TEST(Archive, NamesAreKeptExactlyAndCountedInUtf16Units) {
    struct row {
        std::u16string name;
        std::string line;  // UTF-8 of the expected index line
    };
    const row rows[] = {
        {u"C:\\pics\\a.jpg", "000000003:C:\\pics\\a.jpg\n"},
        {u"x:y:z", "000000003:x:y:z\n"},
        {u"\xD83D\xDE00.png", "000000003:\xF0\x9F\x98\x80.png\n"},
        {u"shots\\bb.png", "000000003:shots\\bb.png\n"},
    };
    for (const row& r : rows) {
        upload_archive archive;
        archive_init(archive);
        add_file(archive, "xyz", r.name);
        EXPECT_EQ(index_text(archive), utf16le(r.line));
        EXPECT_EQ(archive.index_length, r.name.size() + 11);
        EXPECT_EQ(archive.body_bytes, 2 + 2 * (r.name.size() + 11) + 3);
        archive_release(archive);
    }
}

TEST(Archive, SlotArraysGrowByTenAtTheEleventhAndTwentyFirstFile) {
    upload_archive archive;
    archive_init(archive);
    for (int i = 1; i <= 21; ++i) {
        add_file(archive, std::string(static_cast<std::size_t>(i), 'q'), u"f");
        const std::uint32_t expected = i <= 10 ? 10 : i <= 20 ? 20 : 30;
        EXPECT_EQ(archive.file_capacity, expected) << i;
    }
    EXPECT_EQ(archive.file_count, 21u);
    archive_release(archive);
}

TEST(Archive, IndexGrowsOnlyWhenTheLineDoesNotFit) {
    struct row {
        std::size_t filler_units;  // the index length before the line, made of one long name
        std::size_t name_units;
        std::uint32_t capacity_after;
    };
    const row rows[] = {
        {500, 1, 512},   // 12 units exactly fill the room that is left
        {500, 2, 1024},  // 13 units need one step more
        {0, 501, 512},   // the longest name one step holds
        {0, 502, 1024},
        {0, 1500, 1536},  // a name longer than a step grows by as many steps as it needs
        {0, 5000, 5120},
    };
    for (const row& r : rows) {
        upload_archive archive;
        archive_init(archive);
        if (r.filler_units > 0) {
            add_file(archive, "", std::u16string(r.filler_units - 11, u'n'));
            ASSERT_EQ(archive.index_capacity, 512u);
            ASSERT_EQ(archive.index_length, r.filler_units);
        }
        const std::u16string name(r.name_units, u'm');
        add_file(archive, "", name);
        EXPECT_EQ(archive.index_capacity, r.capacity_after) << r.name_units;
        EXPECT_EQ(archive.index_length, r.filler_units + r.name_units + 11);
        const std::string index = index_text(archive);
        EXPECT_EQ(index.substr(index.size() - (r.name_units + 11) * 2),
                  utf16le("000000000:" + std::string(r.name_units, 'm') + "\n"));
        archive_release(archive);
    }
}

TEST(Archive, FilesAreSentInPiecesOf1024Bytes) {
    upload_archive archive;
    archive_init(archive);
    const std::string data = pattern_bytes(25000, 'z');
    add_file(archive, data, u"big");
    add_file(archive, "", u"empty");
    std::vector<std::size_t> items;
    net_trace_sends(&items);
    const std::string arrived = sent_bytes(archive);
    net_trace_sends(nullptr);
    std::vector<std::size_t> expected = {archive.index_length * 2u, 2};
    for (int i = 0; i < 24; ++i) expected.push_back(1024);
    expected.push_back(424);
    EXPECT_EQ(items, expected);
    EXPECT_EQ(arrived, index_text(archive) + std::string("\x0A\x00", 2) + data);
    archive_release(archive);
}

TEST(Archive, AFileThatShrankLeavesNothingBehind) {
    upload_archive archive;
    archive_init(archive);
    add_file(archive, "first", u"first");
    const std::string index_before = index_text(archive);
    open_file shrunk(pattern_bytes(30000, 's'));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(archive_add_file_data(archive, 30001, shrunk.stream));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "filesize incorrect, file ignored\n");
    EXPECT_EQ(archive.file_count, 1u);
    EXPECT_EQ(archive.body_bytes, 2u + 2 * 16 + 5);
    EXPECT_EQ(index_text(archive), index_before);
    // The next file takes the same slot.
    add_file(archive, "next", u"next");
    EXPECT_EQ(archive.file_count, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(archive.file_data[1]), 4), "next");
    archive_release(archive);
}

TEST(Archive, AFileThatGrewIsHeldAtItsTakenSize) {
    upload_archive archive;
    archive_init(archive);
    const std::string grown = pattern_bytes(20000, 'g');
    open_file file(grown);
    ASSERT_TRUE(archive_add_file_data(archive, 12345, file.stream));
    ASSERT_TRUE(archive_add_index_entry(archive, 12345, u"g"));
    EXPECT_EQ(sent_bytes(archive), utf16le("000012345:g\n\n") + grown.substr(0, 12345));
    archive_release(archive);
}

TEST(Archive, NoSizeBeyondNineDigitsEverEntersTheArchive) {
    upload_archive archive;
    archive_init(archive);
    open_file file("tiny");
    EXPECT_FALSE(archive_add_file_data(archive, 1000000000u, file.stream));
    EXPECT_FALSE(archive_add_index_entry(archive, 1000000000u, u"huge"));
    EXPECT_FALSE(archive_add_index_entry(archive, 4294967295u, u"huge"));
    EXPECT_EQ(archive.file_count, 0u);
    EXPECT_EQ(archive.index_length, 0u);
    EXPECT_EQ(archive.body_bytes, 2u);
    // The largest size that fits still fills exactly nine digits.
    ASSERT_TRUE(archive_add_index_entry(archive, 999999999u, u"n"));
    EXPECT_EQ(index_text(archive), utf16le("999999999:n\n"));
    archive_release(archive);
}

TEST(Archive, ASendFailureInTheSecondOfThreeFilesStopsSending) {
    upload_archive archive;
    archive_init(archive);
    const std::size_t file_size = 4 << 20;
    for (char seed : {'1', '2', '3'}) add_file(archive, pattern_bytes(file_size, seed), u"p");
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    // The gallery goes away halfway through the second file.
    const std::size_t before_close = archive.index_length * 2 + 2 + file_size + file_size / 2;
    std::thread gallery([&] {
        std::size_t got = 0;
        char buffer[4096];
        while (got < before_close) {
            const ssize_t n = ::read(fds[1], buffer, std::min(sizeof buffer, before_close - got));
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    std::vector<std::size_t> items;
    net_trace_sends(&items);
    ::testing::internal::CaptureStderr();
    archive_send(archive, fds[0]);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "send error\n");
    net_trace_sends(nullptr);
    gallery.join();
    ::close(fds[0]);
    std::size_t attempted = 0;
    for (std::size_t i = 2; i < items.size(); ++i) attempted += items[i];
    EXPECT_GT(attempted, file_size + file_size / 2);
    EXPECT_LT(attempted, 2 * file_size);  // nothing of the third file was tried
    archive_release(archive);
}
