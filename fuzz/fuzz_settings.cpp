// The settings file: the bytes through the word reader as text, and the same bytes as the file
// on disk that load_settings reads, which must come to the same settings or to the defaults.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fed_socket.h"
#include "settings/settings.h"

namespace {

std::string appdata;  // a folder of this run's own, made once
std::string settings_folder;
std::string settings_file;

constexpr std::string_view default_file = "2.0\nL\ntrue";

// White space as the C library's formatted input skips it, the zero byte that ends a C string.
bool is_blank(char c) { return c == '\0' || std::strchr(" \t\n\v\f\r", c) != nullptr; }

void check_accepted(const client_settings& settings) {
    require(settings.version == "2.0", "the version is not 2.0");
    require(!settings.codes.empty() && settings.codes.size() <= 20, "codes of a wrong length");
    for (char letter : settings.codes) {
        require(letter != '\0' && std::strchr("LGIBZEKH", letter) != nullptr, "a foreign code");
    }
    require(!settings.flag.empty() && settings.flag.size() <= 10, "a flag of a wrong length");
    for (char c : settings.flag) require(!is_blank(c), "a blank in the flag");
}

void write_whole(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    require(file != nullptr, "cannot write the settings file");
    require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(),
            "cannot write the settings file");
    require(std::fclose(file) == 0, "cannot write the settings file");
}

std::string read_whole(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    require(file != nullptr, "the settings file is gone");
    std::string content;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    std::fclose(file);
    return content;
}

void remove_run_folder() {
    ::unlink(settings_file.c_str());
    ::rmdir(settings_folder.c_str());
    ::rmdir(appdata.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/nexivane-fuzz-settings-XXXXXX";
    require(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    appdata = pattern;
    settings_folder = appdata + "/kavro";
    settings_file = settings_folder + "/uploader2.ini";
    ::setenv("APPDATA", appdata.c_str(), 1);
    std::atexit(remove_run_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::optional<client_settings> parsed = parse_settings(content);
    if (parsed) check_accepted(*parsed);

    // The same bytes as the file on disk.
    ::mkdir(settings_folder.c_str(), 0700);
    write_whole(settings_file, content);
    forget_settings();
    const client_settings loaded = load_settings();
    if (parsed) {
        require(loaded.version == parsed->version && loaded.codes == parsed->codes &&
                    loaded.flag == parsed->flag,
                "the file is read otherwise than the text");
        require(read_whole(settings_file) == content, "an accepted file was changed");
    } else {
        require(loaded.version == "2.0" && loaded.codes == "L" && loaded.flag == "true",
                "a refused file does not give the defaults");
        require(read_whole(settings_file) == default_file,
                "a refused file is not replaced by the defaults");
    }
    return 0;
}
