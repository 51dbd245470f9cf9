// The settings file as whole runs rewrite it: through links, around permissions, never leaving a
// temporary file behind, and never changing a file the user has made read-only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/session_run.h"

namespace fs = std::filesystem;

namespace {

// The defaults as the client under test writes them.
const std::string default_file = "2.0" + client_line_end() + "L" + client_line_end() + "true";
const std::string cannot_create = "cannot create configuration file\n";
constexpr fs::perms read_only_folder = fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec;

// Hands everything in the folder to the user an unprivileged run takes, links included.
void give_to_run_user(const fs::path& folder) {
    ::lchown(folder.c_str(), unprivileged_id, unprivileged_id);
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        ::lchown(entry.path().c_str(), unprivileged_id, unprivileged_id);
    }
}

fs::perms mode_of(const fs::path& path) {
    return fs::symlink_status(path).permissions() & fs::perms::mask;
}

// The names in a folder, so a temporary file left behind shows.
std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// One case: the settings as `setup` makes them, in the settings folder ("kavro") and in a folder
// beside it ("real"); what standard error says; what `check` expects of the two folders after.
struct rewrite_case {
    std::string name;
    std::function<void(const fs::path& kavro, const fs::path& real)> setup;
    std::string err;
    std::function<void(const fs::path& kavro, const fs::path& real)> check;
};

fs::path file_in(const fs::path& folder) { return folder / "uploader2.ini"; }

// Runs the client without privileges (so permissions hold) on the case's settings: the upload
// goes out with the defaults whether or not they could be written.
void run_rewrite_case(const rewrite_case& r) {
    SCOPED_TRACE(r.name);
    scripted_gallery gallery({limits_reply("-1:-1:-1"), answer_reply("200 OK", "ok")});
    session_run run;
    const fs::path kavro = run.appdata.path / "kavro";
    const fs::path real = run.appdata.path / "real";
    fs::create_directories(kavro);
    fs::create_directories(real);
    fs::permissions(run.work.path, fs::perms::all);
    r.setup(kavro, real);
    give_to_run_user(run.appdata.path);
    run.unprivileged = true;
    const program_result result = run.run(gallery);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(run.connections.size() == 2 ? run.connections[1] : "<no upload>",
              expected_upload_head("127.0.0.1", 24) + default_preamble() + utf16le("\n"));
    r.check(kavro, real);
}

}  // namespace

// A settings file kept as a link (as dotfile managers do) is written through: the file it names
// gets the defaults and the link stays a link.
TEST(SettingsFile, IsRewrittenThroughLinks) {
    const rewrite_case cases[] = {
        {"a link to an invalid file",
         [](const fs::path& kavro, const fs::path& real) {
             write_file(file_in(real), "junk");
             fs::create_symlink("../real/uploader2.ini", file_in(kavro));
         },
         "",
         [](const fs::path& kavro, const fs::path& real) {
             EXPECT_TRUE(fs::is_symlink(file_in(kavro)));
             EXPECT_EQ(fs::read_symlink(file_in(kavro)), "../real/uploader2.ini");
             EXPECT_EQ(read_file(file_in(real)), default_file);
             EXPECT_EQ(names_in(kavro), std::vector<std::string>{"uploader2.ini"});
             EXPECT_EQ(names_in(real), std::vector<std::string>{"uploader2.ini"});
         }},
        {"a chain of links, the last to a file not made yet",
         [](const fs::path& kavro, const fs::path& real) {
             fs::create_symlink(real / "middle", file_in(kavro));
             fs::create_symlink("settings.ini", real / "middle");
         },
         "",
         [](const fs::path& kavro, const fs::path& real) {
             EXPECT_TRUE(fs::is_symlink(file_in(kavro)));
             EXPECT_TRUE(fs::is_symlink(real / "middle"));
             EXPECT_EQ(read_file(real / "settings.ini"), default_file);
             EXPECT_EQ(names_in(real), (std::vector<std::string>{"middle", "settings.ini"}));
         }},
    };
    for (const rewrite_case& c : cases) run_rewrite_case(c);
}

// A read-only file is left as it is, and a read-only folder does not stop a writable file from
// being rewritten.
TEST(SettingsFile, RespectsPermissions) {
    const rewrite_case cases[] = {
        {"a read-only file is left as it is",
         [](const fs::path& kavro, const fs::path&) {
             write_file(file_in(kavro), "2.0 lower case");
             fs::permissions(file_in(kavro), fs::perms::owner_read | fs::perms::group_read |
                                                 fs::perms::others_read);
         },
         cannot_create,
         [](const fs::path& kavro, const fs::path&) {
             EXPECT_EQ(read_file(file_in(kavro)), "2.0 lower case");
             EXPECT_EQ(mode_of(file_in(kavro)),
                       fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
             EXPECT_EQ(names_in(kavro), std::vector<std::string>{"uploader2.ini"});
         }},
        {"a read-only folder with a writable file: rewritten in place",
         [](const fs::path& kavro, const fs::path&) {
             write_file(file_in(kavro), "1.0 L true");
             fs::permissions(kavro, read_only_folder);
         },
         "",
         [](const fs::path& kavro, const fs::path&) {
             EXPECT_EQ(read_file(file_in(kavro)), default_file);
             EXPECT_EQ(names_in(kavro), std::vector<std::string>{"uploader2.ini"});
         }},
        {"a folder where nothing can be written",
         [](const fs::path& kavro, const fs::path&) { fs::permissions(kavro, read_only_folder); },
         cannot_create,
         [](const fs::path& kavro, const fs::path&) { EXPECT_TRUE(names_in(kavro).empty()); }},
    };
    for (const rewrite_case& c : cases) run_rewrite_case(c);
}

// The rewritten file keeps the permission bits the user gave it.
TEST(SettingsFile, KeepsThePermissionBits) {
    const rewrite_case cases[] = {
        {"the file keeps its permissions",
         [](const fs::path& kavro, const fs::path&) {
             write_file(file_in(kavro), "2.0");
             fs::permissions(file_in(kavro), fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read);
         },
         "",
         [](const fs::path& kavro, const fs::path&) {
             EXPECT_EQ(read_file(file_in(kavro)), default_file);
             EXPECT_EQ(mode_of(file_in(kavro)),
                       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
             EXPECT_EQ(names_in(kavro), std::vector<std::string>{"uploader2.ini"});
         }},
        {"a new file gets what the umask leaves, as any new file",
         [](const fs::path&, const fs::path&) {}, "",
         [](const fs::path& kavro, const fs::path&) {
             const mode_t mask = ::umask(0);
             ::umask(mask);
             EXPECT_EQ(mode_of(file_in(kavro)), static_cast<fs::perms>(0666 & ~mask));
         }},
    };
    for (const rewrite_case& c : cases) run_rewrite_case(c);
}
