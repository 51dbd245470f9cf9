// Rewriting a small file whole: many writers at once each succeed, and nothing is left beside it.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

TEST(FileRewrite, WritersAtOnceNeverShareATemporaryFile) {
    temp_dir folder;
    const std::string path = (folder.path / "uploader2.ini").string();
    write_file(path, "old");
    constexpr int writers = 8;
    constexpr int rewrites = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < rewrites; ++i) {
                if (!file_rewrite(path, "2.0\nL\ntrue")) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(read_file(path), "2.0\nL\ntrue");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path),
                            std::filesystem::directory_iterator()),
              1);
}
