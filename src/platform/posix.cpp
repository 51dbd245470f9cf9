// POSIX implementation of the platform seam. Narrow text is UTF-8; paths travel above this file
// as UTF-16 and are turned back into their original bytes here.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace {

std::vector<std::size_t>* send_trace = nullptr;

void trace_send(std::size_t length) {
    if (send_trace != nullptr) send_trace->push_back(length);
}

std::string native_path(wide_view path) { return utf16_to_utf8(path); }

// Reads a run of decimal digits at `pos`, stopping at the first other character; false when there
// are none. Saturates instead of overflowing.
bool read_number(const char*& pos, unsigned& value) {
    if (*pos < '0' || *pos > '9') return false;
    value = 0;
    while (*pos >= '0' && *pos <= '9') {
        if (value < 100000) value = value * 10 + static_cast<unsigned>(*pos - '0');
        ++pos;
    }
    return true;
}

}  // namespace

std::vector<wide_string> command_line_arguments(int argc, native_char** argv) {
    std::vector<wide_string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(utf8_to_utf16(argv[i]));
    return arguments;
}

// ---- Sockets -----------------------------------------------------------------------------------

void net_start() {
    // Writing to a gallery or a pipe that has gone away must be an error result, not a dead
    // process.
    ::signal(SIGPIPE, SIG_IGN);
}

void net_stop() {}

std::optional<std::uint32_t> net_resolve_ipv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> address;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, found->ai_addr, sizeof first);
        address = first.sin_addr.s_addr;
    }
    ::freeaddrinfo(found);
    return address;
}

socket_handle net_connect_ipv4(std::uint32_t address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return no_socket;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    int result = 0;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ::close(fd);
        return no_socket;
    }
    return fd;
}

long long net_send(socket_handle socket, const void* data, std::size_t length) {
    trace_send(length);
    ssize_t sent = 0;
    do {
        sent = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

bool net_send_all(socket_handle socket, const void* data, std::size_t length) {
    trace_send(length);
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = ::send(static_cast<int>(socket), next, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        next += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

long long net_recv(socket_handle socket, void* buffer, std::size_t length) {
    ssize_t received = 0;
    do {
        received = ::recv(static_cast<int>(socket), buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    return received;
}

void net_trace_sends(std::vector<std::size_t>* sink) { send_trace = sink; }

// ---- Files and directories ---------------------------------------------------------------------

std::optional<file_status> file_stat(wide_view path) {
    struct stat info {};
    if (::stat(native_path(path).c_str(), &info) != 0) return std::nullopt;
    file_status status;
    status.is_file = S_ISREG(info.st_mode);
    status.is_dir = S_ISDIR(info.st_mode);
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.device = static_cast<std::uint64_t>(info.st_dev);
    status.inode = static_cast<std::uint64_t>(info.st_ino);
    return status;
}

std::FILE* file_open_read(wide_view path) {
    std::FILE* stream = std::fopen(native_path(path).c_str(), "rb");
    // The archive reads every file whole into its own buffer: a stream buffer would only add a
    // copy of each byte and a status call per file.
    if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// Large buffers get their pages mapped in place at once: faulting each page in while the file
// is read into it cost more than the read itself.
constexpr std::size_t mapped_buffer_threshold = 64 * 1024;

unsigned char* file_buffer_allocate(std::size_t size) {
    if (size < mapped_buffer_threshold) {
        return static_cast<unsigned char*>(std::malloc(size == 0 ? 1 : size));
    }
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapped);
}

void file_buffer_release(unsigned char* buffer, std::size_t size) {
    if (buffer == nullptr) return;
    if (size < mapped_buffer_threshold) {
        std::free(buffer);
    } else {
        ::munmap(buffer, size);
    }
}

struct dir_listing {
    DIR* dir;
};

dir_listing* dir_listing_open(wide_view path) {
    DIR* dir = ::opendir(native_path(path).c_str());
    if (dir == nullptr) return nullptr;
    return new dir_listing{dir};
}

bool dir_listing_next(dir_listing* listing, wide_string& name, entry_kind& kind) {
    if (listing == nullptr || listing->dir == nullptr) return false;
    errno = 0;
    const dirent* entry = ::readdir(listing->dir);
    if (entry == nullptr) {
        ::closedir(listing->dir);
        listing->dir = nullptr;
        return false;
    }
    name = utf8_to_utf16(entry->d_name);
    switch (entry->d_type) {
        case DT_REG:
            kind = entry_kind::file;
            break;
        case DT_DIR:
            kind = entry_kind::directory;
            break;
        case DT_LNK:
        case DT_UNKNOWN:
            kind = entry_kind::unknown;
            break;
        default:
            kind = entry_kind::other;
            break;
    }
    return true;
}

std::uint64_t file_read_ahead(wide_view path, std::uint64_t most_bytes) {
    const std::string native = native_path(path);
    // The status first, so that nothing but a regular file is ever opened (a FIFO or a device
    // may do something when opened); O_NONBLOCK keeps one swapped in meanwhile from holding us.
    struct stat info {};
    if (::stat(native.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        static_cast<std::uint64_t>(info.st_size) > most_bytes) {
        return 0;
    }
    const int fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::uint64_t asked = 0;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED) == 0) {
        asked = static_cast<std::uint64_t>(info.st_size);
    }
    ::close(fd);
    return asked;
}

void dir_listing_close(dir_listing* listing) {
    if (listing == nullptr) return;
    if (listing->dir != nullptr) ::closedir(listing->dir);
    delete listing;
}

// The noted directory is held open, so the walk returns to it even when it was entered through a
// symbolic link or has been renamed meanwhile. A descriptor for a path alone needs no right to
// read the directory, so a folder that can be searched but not listed (a drop folder) is noted
// too; where there is no such descriptor, the directory's path stands in.
struct cwd_mark {
    int fd;
    std::string path;
};

cwd_mark* cwd_note() {
#ifdef O_PATH
    const int fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (fd >= 0) return new cwd_mark{fd, {}};
    char* current = ::getcwd(nullptr, 0);
    if (current == nullptr) return nullptr;
    auto* mark = new cwd_mark{-1, current};
    std::free(current);
    return mark;
}

bool cwd_change(wide_view path) { return ::chdir(native_path(path).c_str()) == 0; }

bool cwd_restore(const cwd_mark* mark) {
    if (mark == nullptr) return false;
    return mark->fd >= 0 ? ::fchdir(mark->fd) == 0 : ::chdir(mark->path.c_str()) == 0;
}

void cwd_release(cwd_mark* mark) {
    if (mark == nullptr) return;
    if (mark->fd >= 0) ::close(mark->fd);
    delete mark;
}

// ---- Settings location -------------------------------------------------------------------------

std::optional<std::string> env_get(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> settings_base_dir() {
    if (auto appdata = env_get("APPDATA")) return appdata;
    if (auto xdg = env_get("XDG_CONFIG_HOME"); xdg && !xdg->empty()) return xdg;
    auto home = env_get("HOME");
    if (!home || home->empty()) return std::nullopt;
    std::string config = *home + "/.config";
    ::mkdir(config.c_str(), 0700);
    return config;
}

char path_separator() { return '/'; }

bool make_dir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

namespace {

// As many links in a row as the system itself follows before it gives up.
constexpr int max_link_depth = 40;

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that a path finally names, its links followed one at a time, so that a link to a file
// not made yet still leads to where it will be. None for a loop of links or an unreadable link.
std::optional<std::string> final_target(std::string path) {
    for (int depth = 0; depth < max_link_depth; ++depth) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string link(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        // A link that changed while it was read: read it again.
        if (length < 0) return std::nullopt;
        if (static_cast<std::size_t>(length) >= link.size()) continue;
        link.resize(static_cast<std::size_t>(length));
        path = link.starts_with('/') ? link : folder_of(path) + "/" + link;
    }
    return std::nullopt;
}

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The permissions a newly made file gets, as a plain rewrite would give it.
mode_t new_file_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

bool file_rewrite(const std::string& path, std::string_view content) {
    const auto target = final_target(path);
    if (!target) return false;
    // Opening without truncating tells whether the file may be written, and changes nothing.
    // Without O_NONBLOCK, a FIFO in the file's place would hold the run until someone reads it.
    mode_t mode = 0;
    bool regular = true;
    const int existing = ::open(target->c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (existing >= 0) {
        struct stat info {};
        const bool known = ::fstat(existing, &info) == 0;
        ::close(existing);
        if (!known) return false;
        mode = info.st_mode & 07777;
        regular = S_ISREG(info.st_mode);
    } else if (errno == ENOENT) {
        mode = new_file_mode();
    } else {
        return false;
    }
    if (regular) {
        std::string temporary = *target + ".XXXXXX";
        const int fd = ::mkstemp(temporary.data());
        if (fd >= 0) {
            bool written = ::fchmod(fd, mode) == 0 && write_all(fd, content) && ::fsync(fd) == 0;
            written = ::close(fd) == 0 && written;
            if (written && ::rename(temporary.c_str(), target->c_str()) == 0) return true;
            ::unlink(temporary.c_str());
            return false;
        }
        // No file can be made in the folder (it is read-only, say): the file itself is written.
    }
    const int fd = ::open(target->c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    const bool written = write_all(fd, content);
    return ::close(fd) == 0 && written;
}

// ---- Text and console --------------------------------------------------------------------------

wide_string narrow_to_wide(std::string_view narrow) { return utf8_to_utf16(narrow); }

void console_write_error(wide_view text) {
    const std::string bytes = utf16_to_utf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

void console_write_output(const void* data, std::size_t length) {
    std::fwrite(data, 1, length, stdout);
    std::fflush(stdout);
}

bool console_is_terminal(console_stream stream) {
    return ::isatty(stream == console_stream::output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

std::string os_version_text() {
    utsname names{};
    if (::uname(&names) != 0) return "Unknown 0.0";
    const char* pos = names.release;
    unsigned major = 0;
    unsigned minor = 0;
    if (read_number(pos, major) && *pos == '.') {
        ++pos;
        read_number(pos, minor);
    }
    return std::string(names.sysname) + " " + std::to_string(major) + "." + std::to_string(minor);
}
