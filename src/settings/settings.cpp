#include "settings/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "support/console.h"
#include "support/numbers.h"
#include "support/version.h"

namespace {

bool settings_loaded = false;
client_settings current;

constexpr std::string_view settings_folder_name = "kavro";
constexpr std::string_view settings_file_name = "uploader2.ini";
constexpr std::string_view default_codes = "L";
constexpr std::string_view default_flag = "true";

std::optional<std::string> settings_folder() {
    auto base = settings_base_dir();
    if (!base) return std::nullopt;
    return *base + path_separator() + std::string(settings_folder_name);
}

// The characters of the settings, from an open file or from a text, one at a time: the words are
// read as they come and reading stops after the third, however large the file.
struct char_source {
    std::FILE* file = nullptr;
    std::string_view text;
    std::size_t pos = 0;

    int next() {
        if (file != nullptr) return std::fgetc(file);
        return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : EOF;
    }
};

// One word as "%Ns" takes it: white space skipped, then up to `width` non-blank characters; the
// character after a full word is left for the next one.
bool read_word(char_source& source, int& pending, std::size_t width, std::string& word) {
    int c = pending;
    while (c != EOF && is_c_space(static_cast<char>(c))) c = source.next();
    word.clear();
    while (c != EOF && !is_c_space(static_cast<char>(c))) {
        word.push_back(static_cast<char>(c));
        if (word.size() == width) {
            c = source.next();
            break;
        }
        c = source.next();
    }
    pending = c;
    // The word is text: it ends at a zero byte.
    word.resize(std::strlen(word.c_str()));
    return !word.empty();
}

std::optional<client_settings> parse_words(char_source& source) {
    client_settings read;
    int pending = source.next();
    if (!read_word(source, pending, settings_version_width, read.version) ||
        !read_word(source, pending, settings_codes_width, read.codes) ||
        !read_word(source, pending, settings_flag_width, read.flag)) {
        return std::nullopt;
    }
    if (read.version != client_version) return std::nullopt;
    for (char letter : read.codes) {
        if (std::strchr(settings_code_letters, letter) == nullptr) return std::nullopt;
    }
    return read;
}

client_settings default_settings() {
    return {std::string(client_version), std::string(default_codes), std::string(default_flag)};
}

}  // namespace

std::optional<client_settings> parse_settings(std::string_view content) {
    char_source source{nullptr, content, 0};
    return parse_words(source);
}

std::optional<std::string> settings_file_path() {
    auto folder = settings_folder();
    if (!folder) return std::nullopt;
    return *folder + path_separator() + std::string(settings_file_name);
}

const client_settings& write_default_settings() {
    current = default_settings();
    settings_loaded = true;
    const auto folder = settings_folder();
    if (!folder) return current;  // no application-data folder: run on the defaults alone
    make_dir(*folder);
    const std::string path = *folder + path_separator() + std::string(settings_file_name);
    const std::string content = std::string(client_version) + "\n" + std::string(default_codes) +
                                "\n" + std::string(default_flag);
    if (!file_rewrite(path, content)) print_message(u"cannot create configuration file");
    return current;
}

const client_settings& load_settings() {
    if (settings_loaded) return current;
    const auto path = settings_file_path();
    if (!path) return write_default_settings();
    std::FILE* file = std::fopen(path->c_str(), "r");
    if (file == nullptr) return write_default_settings();
    char_source source{file, {}, 0};
    const auto read = parse_words(source);
    std::fclose(file);
    if (!read) return write_default_settings();
    current = *read;
    settings_loaded = true;
    return current;
}

void forget_settings() { settings_loaded = false; }
