// Real uploads from nexivane-dev into the stand-in gallery: every stored file must be the
// original, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_program.h"
#include "support/session_run.h"
#include "support/stand_in_gallery.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string every_byte(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return bytes;
}

program_result upload(const stand_in_gallery& gallery, const fs::path& work,
                      const std::vector<std::string>& arguments) {
    temp_dir appdata;
    program_run run;
    run.executable = dev_executable();
    run.arguments = arguments;
    run.environment = {{"NEXIVANE_GALLERY", gallery.address}, {"APPDATA", appdata.str()}};
    run.working_directory = work.string();
    return run_program(run);
}

// The one upload folder the gallery made, with the files it holds by name.
std::map<std::string, std::string> stored_files(const fs::path& storage) {
    std::map<std::string, std::string> files;
    std::vector<fs::path> uploads;
    for (const auto& e : fs::directory_iterator(storage)) uploads.push_back(e.path());
    EXPECT_EQ(uploads.size(), 1u);
    if (uploads.size() != 1) return files;
    for (const auto& e : fs::directory_iterator(uploads[0])) {
        files[e.path().filename().string()] = read_file(e.path());
    }
    return files;
}

}  // namespace

TEST(RoundTrip, StoredFilesAreTheOriginals) {
    temp_dir work;
    temp_dir storage;
    const std::map<std::string, std::string> originals = {
        {"a.jpg", every_byte(150000)},
        {"empty.png", ""},
        {"\xF0\x9F\x98\x80 smile.png", every_byte(777)},  // outside the BMP
        {"caf\xC3\xA9.gif", every_byte(1)},
        {"deep.ppm", every_byte(65536)},
        {"top.jpg", every_byte(4096)},
    };
    // A folder walk with nesting, and a file named directly with a directory part.
    const std::map<std::string, fs::path> places = {
        {"a.jpg", "album/a.jpg"},
        {"empty.png", "album/empty.png"},
        {"\xF0\x9F\x98\x80 smile.png", "album/people/\xF0\x9F\x98\x80 smile.png"},
        {"caf\xC3\xA9.gif", "album/people/caf\xC3\xA9.gif"},
        {"deep.ppm", "album/people/more/deep.ppm"},
        {"top.jpg", "other/top.jpg"},
    };
    for (const auto& [name, place] : places) write_file(work.path / place, originals.at(name));
    write_file(work.path / "album" / ".thumbs.db", "never sent");

    stand_in_gallery gallery(storage.str(), {"--limits", "-1:-1:-1"});
    const program_result result = upload(gallery, work.path, {"album", "other/top.jpg"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("stored 6 files, 220410 bytes", 0), 0u) << result.out;
    EXPECT_EQ(stored_files(storage.path), originals);
}

TEST(RoundTrip, TheGallerysLimitsAndRefusalsReachTheUser) {
    struct row {
        std::string limits;
        std::vector<std::size_t> sizes;
        int exit_code;
        std::size_t stored;
    };
    const row rows[] = {
        {"-1:2:-1", {10, 20, 30}, 0, 2},
        {"-1:-1:15", {10, 20, 5}, 0, 2},
        {"100:-1:-1", {10, 20, 30}, 1, 0},  // over the archive limit: nothing is sent
    };
    for (const row& r : rows) {
        temp_dir work;
        temp_dir storage;
        std::vector<std::string> names;
        for (std::size_t i = 0; i < r.sizes.size(); ++i) {
            names.push_back("p" + std::to_string(i) + ".jpg");
            write_file(work.path / names.back(), every_byte(r.sizes[i]));
        }
        stand_in_gallery gallery(storage.str(), {"--limits", r.limits});
        const program_result result = upload(gallery, work.path, names);
        EXPECT_EQ(result.exit_code, r.exit_code) << r.limits << result.err;
        std::size_t stored = 0;
        for (const auto& e : fs::recursive_directory_iterator(storage.path)) {
            stored += e.is_regular_file() ? 1 : 0;
        }
        EXPECT_EQ(stored, r.stored) << r.limits;
    }
}
