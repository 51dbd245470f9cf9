#include "storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace gallery {
namespace {

constexpr std::string_view upload_prefix = "upload-";
constexpr std::size_t max_name_bytes = 255;
// Longer "extensions" are just part of the name and may be cut like the rest of it.
constexpr std::size_t max_extension_bytes = 32;

std::string errno_text() { return std::strerror(errno); }

std::string upload_name(std::uint64_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "upload-%06llu", static_cast<unsigned long long>(number));
    return text;
}

// The number of an "upload-NNNNNN" folder, or 0 for anything else.
std::uint64_t upload_number(std::string_view name) {
    if (!name.starts_with(upload_prefix)) return 0;
    name.remove_prefix(upload_prefix.size());
    if (name.empty() || name.size() > 18) return 0;
    std::uint64_t number = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return 0;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return number;
}

template <typename Visit>
bool for_each_entry(int dir_fd, Visit visit) {
    const int fd = dup(dir_fd);
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return false;
    }
    rewinddir(dir);
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") visit(std::string(name));
    }
    closedir(dir);
    return true;
}

bool same_folder(const struct stat& status, const upload_folder& folder) {
    return S_ISDIR(status.st_mode) && status.st_dev == folder.device &&
           status.st_ino == folder.inode;
}

// Whether the name, taken as it is and not followed if it is a link, is the folder itself.
bool name_is_folder(int root_fd, const std::string& name, const upload_folder& folder) {
    struct stat status;
    return fstatat(root_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_folder(status, folder);
}

bool rename_without_replacing(int root_fd, const std::string& from, const std::string& to) {
    return renameat2(root_fd, from.c_str(), root_fd, to.c_str(), RENAME_NOREPLACE) == 0;
}

// Unpaired surrogates, which the archive check lets through nowhere, come out as U+FFFD.
template <typename Visit>
void for_each_code_point(std::u16string_view text, Visit visit) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        visit(c);
    }
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Control characters, C0 and C1; the characters Windows refuses in a name (":" would also name
// an NTFS stream); and the bidirectional embeddings, overrides and isolates, with which
// "\u202Egpj.exe" shows as "exe.jpg".
bool is_replaced_character(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) return true;
    return std::u32string_view(U":<>\"|?*").find(c) != std::u32string_view::npos;
}

void trim_dots_and_blanks(std::string& name) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
}

// Windows opens a device for these stems, whatever the case and extension, trailing blanks
// ignored: CON, PRN, AUX, NUL, CONIN$, CONOUT$, and COM and LPT with a digit or a superscript
// one, two or three.
bool is_device_name(std::string_view name) {
    std::string stem(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem == device) return true;
    }
    if (!stem.starts_with("COM") && !stem.starts_with("LPT")) return false;
    const std::string_view number = std::string_view(stem).substr(3);
    if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
    return number == "\u00B9" || number == "\u00B2" || number == "\u00B3";
}

// Decodes what append_utf8 wrote.
std::u32string code_points(std::string_view utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        out += c;
        i += length;
    }
    return out;
}

// A name as a case-blind file system compares it. Without the C.UTF-8 locale only ASCII
// letters are folded.
std::u32string folded_case(std::string_view name) {
    static const locale_t utf8_ctype = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    std::u32string folded = code_points(name);
    for (char32_t& c : folded) {
        if (utf8_ctype != locale_t{}) {
            c = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), utf8_ctype));
        } else if (c >= U'a' && c <= U'z') {
            c = c - U'a' + U'A';
        }
    }
    return folded;
}

// Cuts at a character boundary so the name stays valid UTF-8.
std::string cut_utf8(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::size_t end = max_bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

// "a.jpg" as "a (2).jpg" for the second file of that name, cut to fit the file system.
std::string numbered_name(std::string_view name, std::size_t number) {
    std::string_view stem = name;
    std::string_view extension;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0 && name.size() - dot <= max_extension_bytes) {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
    const std::string suffix = number == 1 ? "" : " (" + std::to_string(number) + ")";
    std::string cut = cut_utf8(stem, max_name_bytes - suffix.size() - extension.size());
    // A cut can leave the name ending in a dot or a blank again.
    if (suffix.empty() && extension.empty()) {
        trim_dots_and_blanks(cut);
        if (cut.empty()) cut = "unnamed";
    }
    return cut + suffix + std::string(extension);
}

}  // namespace

bool open_storage_root(storage_root& root, const std::string& path, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        error = "cannot create the storage folder " + path + ": " + ec.message();
        return false;
    }
    root.fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root.fd < 0) {
        error = "cannot open the storage folder " + path + ": " + errno_text();
        return false;
    }
    std::uint64_t highest = 0;
    const bool listed = for_each_entry(root.fd, [&](const std::string& name) {
        highest = std::max(highest, upload_number(name));
    });
    if (!listed) {
        error = "cannot list the storage folder " + path + ": " + errno_text();
        return false;
    }
    root.next_number = highest + 1;
    return true;
}

bool begin_upload_folder(storage_root& root, upload_folder& folder, std::string& error) {
    // The process id keeps two servers on one root apart; the counter keeps uploads apart.
    const std::string prefix = ".partial-" + std::to_string(getpid()) + "-";
    for (;;) {
        std::string name = prefix + std::to_string(root.next_partial++);
        if (mkdirat(root.fd, name.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            error = "cannot create an upload folder: " + errno_text();
            return false;
        }
        // Between the two calls the name may be made a link or another folder; a link is not
        // followed, and a folder that is not this process's own is not taken.
        folder.fd = openat(root.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat status;
        if (folder.fd < 0 || fstat(folder.fd, &status) != 0 || status.st_uid != geteuid()) {
            error = "cannot open the new upload folder: " +
                    (folder.fd < 0 ? errno_text() : "it was replaced");
            if (folder.fd >= 0) close(folder.fd);
            folder.fd = -1;
            return false;
        }
        folder.partial_name = std::move(name);
        folder.device = status.st_dev;
        folder.inode = status.st_ino;
        return true;
    }
}

int create_stored_file(const upload_folder& folder, const std::string& name) {
    return openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0644);
}

std::optional<std::string> publish_upload_folder(storage_root& root, upload_folder& folder,
                                                 std::string& error) {
    const std::string& partial = folder.partial_name;
    if (!name_is_folder(root.fd, partial, folder)) {
        error = "the upload folder was moved or replaced while it was written";
        return std::nullopt;
    }
    std::string name;
    for (;;) {
        name = upload_name(root.next_number++);
        if (rename_without_replacing(root.fd, partial, name)) break;
        if (errno == EEXIST) continue;
        if (errno != EINVAL) {
            error = "cannot name the upload folder: " + errno_text();
            return std::nullopt;
        }
        // A file system without no-replace renames: claim the name with mkdir, which fails if
        // it exists, then replace the empty claim with the finished folder.
        if (mkdirat(root.fd, name.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            error = "cannot name the upload folder: " + errno_text();
            return std::nullopt;
        }
        if (renameat(root.fd, partial.c_str(), root.fd, name.c_str()) == 0) break;
        error = "cannot name the upload folder: " + errno_text();
        unlinkat(root.fd, name.c_str(), AT_REMOVEDIR);
        return std::nullopt;
    }
    // The name may have been swapped between the check and the rename: then what was renamed
    // is not this upload, and it goes back where it was.
    if (!name_is_folder(root.fd, name, folder)) {
        rename_without_replacing(root.fd, name, partial);
        error = "the upload folder was replaced while it was published";
        return std::nullopt;
    }
    close(folder.fd);
    folder.fd = -1;
    return name;
}

void discard_upload_folder(storage_root& root, upload_folder& folder) {
    if (folder.fd < 0) return;
    for_each_entry(folder.fd,
                   [&](const std::string& name) { unlinkat(folder.fd, name.c_str(), 0); });
    close(folder.fd);
    folder.fd = -1;
    if (name_is_folder(root.fd, folder.partial_name, folder)) {
        unlinkat(root.fd, folder.partial_name.c_str(), AT_REMOVEDIR);
    }
}

std::string utf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for_each_code_point(text, [&](char32_t c) { append_utf8(out, c); });
    return out;
}

std::string safe_file_name(std::u16string_view index_name) {
    const std::size_t separator = index_name.find_last_of(u"/\\");
    if (separator != std::u16string_view::npos) index_name.remove_prefix(separator + 1);
    std::string name;
    name.reserve(index_name.size());
    for_each_code_point(
        index_name, [&](char32_t c) { append_utf8(name, is_replaced_character(c) ? U'_' : c); });
    // Windows drops them, which would make "a.jpg." and "a.jpg" one file there; it also makes
    // "." and ".." empty.
    trim_dots_and_blanks(name);
    if (name.empty()) return "unnamed";
    if (name.front() == '.' || is_device_name(name)) name.insert(0, "_");
    return name;
}

std::vector<std::string> stored_names(const std::vector<indexed_file>& files) {
    std::vector<std::string> names;
    std::set<std::u32string> taken;
    for (const indexed_file& file : files) {
        const std::string safe = safe_file_name(file.name);
        for (std::size_t number = 1;; ++number) {
            std::string name = numbered_name(safe, number);
            if (taken.insert(folded_case(name)).second) {
                names.push_back(std::move(name));
                break;
            }
        }
    }
    return names;
}

}  // namespace gallery
