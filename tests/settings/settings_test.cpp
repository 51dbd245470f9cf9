#include "settings/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/session_run.h"
#include "support/temp_dir.h"

namespace {

const std::string default_file = "2.0\nL\ntrue";

// Loads the settings with APPDATA pointed at a fresh folder holding `content` (none: no file).
struct settings_run {
    temp_dir appdata;
    std::filesystem::path file = appdata.path / "kavro" / "uploader2.ini";

    client_settings load(const std::optional<std::string>& content) {
        if (content) write_file(file, *content);
        ::setenv("APPDATA", appdata.str().c_str(), 1);
        forget_settings();
        return load_settings();
    }
};

}  // namespace

TEST(LoadSettings, ValuesInForceAndTheFileAfterwards) {
    const std::string letters23(23, 'L');
    struct row {
        std::string name;
        std::optional<std::string> content;
        std::string codes;
        std::string flag;
        std::string file_after;  // "" when the file must be left as it was
    };
    const row rows[] = {
        {"no file", std::nullopt, "L", "true", default_file},
        {"one line", "2.0 LGIB yes", "LGIB", "yes", ""},
        {"any white space", "\t2.0\r\n\n  LGIBZEKH \v\f yes\n", "LGIBZEKH", "yes", ""},
        {"foreign letter", "2.0 LGx true", "L", "true", default_file},
        {"lower case letters", "2.0 lgib true", "L", "true", default_file},
        {"two words", "2.0\nL\n", "L", "true", default_file},
        {"empty file", "", "L", "true", default_file},
        {"version 2.00", "2.00 L true", "L", "true", default_file},
        {"version 2.0a", "2.0a L true", "L", "true", default_file},
        {"version 1.0", "1.0 L true", "L", "true", default_file},
        {"23 letters run into the flag", "2.0\n" + letters23 + "\ntrue", std::string(20, 'L'),
         "LLL", ""},
        {"12-character flag is cut", "2.0 L abcdefghijkl", "L", "abcdefghij", ""},
        {"long version runs into the codes", "2.0LLL true x", "L", "true", default_file},
        {"words far down a large file",
         std::string(100000, ' ') + "2.0 G " + std::string(50000, '\n') + "on", "G", "on", ""},
        {"the file as the client writes it", default_file, "L", "true", ""},
        {"CR LF line ends", "2.0\r\nL\r\ntrue", "L", "true", ""},
        {"a zero byte ends a word", std::string("2.0 LG\0x true", 13), "LG", "true", ""},
    };
    for (const row& r : rows) {
        settings_run run;
        const client_settings settings = run.load(r.content);
        EXPECT_EQ(settings.version, "2.0") << r.name;
        EXPECT_EQ(settings.codes, r.codes) << r.name;
        EXPECT_EQ(settings.flag, r.flag) << r.name;
        EXPECT_EQ(read_file(run.file), r.file_after.empty() ? *r.content : r.file_after) << r.name;
        // The file is replaced whole: nothing is left beside it.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run.file.parent_path()),
                                std::filesystem::directory_iterator()),
                  1)
            << r.name;
    }
}

TEST(LoadSettings, LoadsOncePerProcess) {
    settings_run run;
    EXPECT_EQ(run.load("2.0 ZE flag").codes, "ZE");
    std::filesystem::remove_all(run.appdata.path / "kavro");
    const client_settings& again = load_settings();
    EXPECT_EQ(again.codes, "ZE");
    EXPECT_EQ(again.flag, "flag");
    EXPECT_FALSE(std::filesystem::exists(run.appdata.path / "kavro"));
}

TEST(LoadSettings, AFolderThatCannotBeCreatedLeavesTheDefaults) {
    temp_dir base;
    const std::string missing = (base.path / "no" / "such").string();
    ::setenv("APPDATA", missing.c_str(), 1);
    forget_settings();
    ::testing::internal::CaptureStderr();
    const client_settings settings = load_settings();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "cannot create configuration file\n");
    EXPECT_EQ(settings.codes, "L");
    EXPECT_EQ(settings.flag, "true");
    EXPECT_FALSE(std::filesystem::exists(base.path / "no"));
}

TEST(SettingsFilePath, FollowsAppdataThenTheUsualConfigFolders) {
    temp_dir home;
    const std::string h = home.str();
    struct row {
        std::optional<std::string> appdata;
        std::optional<std::string> xdg;
        std::string expected;
    };
    const row rows[] = {
        {"/data/app", "/x", "/data/app/kavro/uploader2.ini"},
        {std::nullopt, "/xdg", "/xdg/kavro/uploader2.ini"},
        {std::nullopt, "", h + "/.config/kavro/uploader2.ini"},
        {std::nullopt, std::nullopt, h + "/.config/kavro/uploader2.ini"},
    };
    for (const row& r : rows) {
        r.appdata ? ::setenv("APPDATA", r.appdata->c_str(), 1) : ::unsetenv("APPDATA");
        r.xdg ? ::setenv("XDG_CONFIG_HOME", r.xdg->c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
        ::setenv("HOME", h.c_str(), 1);
        EXPECT_EQ(settings_file_path().value_or("<none>"), r.expected);
    }
    // The usual folder is made when it is missing, so the file can be written there.
    EXPECT_TRUE(std::filesystem::is_directory(home.path / ".config"));
}

TEST(SettingsInTheArchive, CodesAndFlagFromTheFileHeadTheBody) {
    scripted_gallery gallery({limits_reply("-1:-1:-1"), answer_reply("200 OK", "ok")});
    session_run run;
    write_file(run.appdata.path / "kavro" / "uploader2.ini", "2.0\nLGIBZEKH\nflagword10\n");
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    // 12 fixed bytes, 16 for the codes, 20 for the flag, 2 for the empty index.
    const std::string body = utf16le("2.0\nLGIBZEKH\nflagword10\n\n");
    ASSERT_EQ(body.size(), 50u);
    ASSERT_EQ(run.connections.size(), 2u);
    EXPECT_EQ(run.connections[1], expected_upload_head("127.0.0.1", 50) + body);
}
