// The client's three settings in a small text file in the user's application-data folder:
// validated, cached for the process, and replaced by the defaults when they cannot be used.
#pragma once

#include <optional>
#include <string>

struct client_settings {
    std::string version;
    std::string codes;  // 1 to 20 letters of "LGIBZEKH", sent at the head of every archive
    std::string flag;   // one word of up to 10 characters, sent after the codes
};

inline constexpr char settings_code_letters[] = "LGIBZEKH";
inline constexpr std::size_t settings_version_width = 5;
inline constexpr std::size_t settings_codes_width = 20;
inline constexpr std::size_t settings_flag_width = 10;

// The settings in force; the first call reads the file or writes the defaults. `version` is
// always "2.0" once loaded.
const client_settings& load_settings();

// Writes the default file (whole or not at all) and adopts the defaults.
const client_settings& write_default_settings();

// Where the settings file lives, or none when there is no application-data folder.
std::optional<std::string> settings_file_path();

// Reads the three words as the file format defines them: each skips white space, then takes up
// to its width of non-blank characters; a longer word's rest starts the next one. None unless
// three words were read and they pass the checks.
std::optional<client_settings> parse_settings(std::string_view content);

// Makes the next load_settings read the file again (for tests).
void forget_settings();
