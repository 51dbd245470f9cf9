#include "storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    return cut_utf8(stem, max_name_bytes - suffix.size() - extension.size()) + suffix +
           std::string(extension);
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
        folder.fd = openat(root.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder.fd < 0) {
            error = "cannot open the upload folder: " + errno_text();
            unlinkat(root.fd, name.c_str(), AT_REMOVEDIR);
            return false;
        }
        folder.partial_name = std::move(name);
        return true;
    }
}

int create_stored_file(const upload_folder& folder, const std::string& name) {
    return openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0644);
}

std::optional<std::string> publish_upload_folder(storage_root& root, upload_folder& folder,
                                                 std::string& error) {
    const char* partial = folder.partial_name.c_str();
    for (;;) {
        const std::string name = upload_name(root.next_number++);
        if (renameat2(root.fd, partial, root.fd, name.c_str(), RENAME_NOREPLACE) == 0) {
            close(folder.fd);
            folder.fd = -1;
            return name;
        }
        if (errno == EEXIST) continue;
        if (errno != EINVAL) break;
        // A file system without no-replace renames: claim the name with mkdir, which fails if
        // it exists, then replace the empty claim with the finished folder.
        if (mkdirat(root.fd, name.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        if (renameat(root.fd, partial, root.fd, name.c_str()) == 0) {
            close(folder.fd);
            folder.fd = -1;
            return name;
        }
        const int saved = errno;
        unlinkat(root.fd, name.c_str(), AT_REMOVEDIR);
        errno = saved;
        break;
    }
    error = "cannot name the upload folder: " + errno_text();
    return std::nullopt;
}

void discard_upload_folder(storage_root& root, upload_folder& folder) {
    if (folder.fd < 0) return;
    for_each_entry(folder.fd,
                   [&](const std::string& name) { unlinkat(folder.fd, name.c_str(), 0); });
    close(folder.fd);
    folder.fd = -1;
    unlinkat(root.fd, folder.partial_name.c_str(), AT_REMOVEDIR);
}

std::string utf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
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
    return out;
}

std::string safe_file_name(std::u16string_view index_name) {
    const std::size_t separator = index_name.find_last_of(u"/\\");
    if (separator != std::u16string_view::npos) index_name.remove_prefix(separator + 1);
    std::string name = utf8_from_utf16(index_name);
    if (name.empty() || name == "." || name == "..") return "unnamed";
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == ':') c = '_';
    }
    if (name.front() == '.') name.insert(0, "_");
    return name;
}

std::vector<std::string> stored_names(const std::vector<indexed_file>& files) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const indexed_file& file : files) {
        const std::string safe = safe_file_name(file.name);
        for (std::size_t number = 1;; ++number) {
            std::string name = numbered_name(safe, number);
            if (taken.insert(name).second) {
                names.push_back(std::move(name));
                break;
            }
        }
    }
    return names;
}

}  // namespace gallery
