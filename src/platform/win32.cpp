// Windows implementation of the platform seam. Paths stay UTF-16 and go to the wide calls as
// they are; narrow text is the ANSI code page.

// Lean windows.h leaves out the old winsock.h, which would clash with winsock2.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/utf8.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace {

std::vector<std::size_t>* send_trace = nullptr;

void trace_send(std::size_t length) {
    if (send_trace != nullptr) send_trace->push_back(length);
}

// A null-terminated copy for the wide calls.
std::wstring native_path(wide_view path) { return std::wstring(path.begin(), path.end()); }

wide_string from_native(const wchar_t* text, std::size_t length) {
    return wide_string(text, text + length);
}

SOCKET socket_of(socket_handle socket) { return static_cast<SOCKET>(socket); }

// Winsock counts in int: a longer item goes out, or comes in, in several calls.
int capped_length(std::size_t length) {
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

bool is_separator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// The C runtime's status call finds nothing under "photos\", which names the directory
// "photos", nor under "C:", that drive's current directory: the path is given to it as "photos"
// and "C:.". Returns whether a trailing separator was removed (a root such as "\" or "C:\"
// keeps its own).
bool path_for_status(std::wstring& path) {
    std::size_t end = path.size();
    while (end > 0 && is_separator(path[end - 1])) --end;
    if (end == 0) return false;
    if (end == path.size()) {
        if (path.back() == L':') path += L'.';
        return false;
    }
    if (path[end - 1] == L':') ++end;
    const bool stripped = end < path.size();
    path.resize(end);
    return stripped;
}

// Identities for directories whose volume and file index cannot be had: the device number is
// one no volume serial number (32 bits) can be, and each gets its own number, so such a
// directory is never taken for one already on the walk path.
std::uint64_t unknown_identities = 0;
constexpr std::uint64_t unknown_device = UINT64_MAX;

// The volume serial number and file index identify a directory however it was reached, through
// a junction or a symbolic link too.
void identify_directory(const std::wstring& path, file_status& status) {
    const HANDLE handle = ::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, &info)) {
        status.device = info.dwVolumeSerialNumber;
        status.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    } else {
        status.device = unknown_device;
        status.inode = ++unknown_identities;
    }
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
}

bool streams_binary = false;

// Bytes leave as they are: no LF of the gallery's answer or of a message becomes CR LF.
void use_binary_streams() {
    if (streams_binary) return;
    streams_binary = true;
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

// A console takes UTF-16 as it is; the units go in pieces small enough for old consoles.
void write_console(HANDLE console, wide_view text) {
    constexpr std::size_t piece_units = 8192;
    const std::wstring native = native_path(text);
    const wchar_t* next = native.data();
    std::size_t left = native.size();
    while (left > 0) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(left < piece_units ? left : piece_units);
        if (!::WriteConsoleW(console, next, piece, &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

}  // namespace

std::vector<wide_string> command_line_arguments(int argc, native_char** argv) {
    std::vector<wide_string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(from_native(argv[i], std::wcslen(argv[i])));
    return arguments;
}

// ---- Sockets -----------------------------------------------------------------------------------

void net_start() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 0), &data) != 0) throw "Could not start WSA";
}

void net_stop() { ::WSACleanup(); }

std::optional<std::uint32_t> net_resolve_ipv4(const std::string& host) {
    const hostent* found = ::gethostbyname(host.c_str());
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4 ||
        found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
        return std::nullopt;
    }
    std::uint32_t address = 0;
    std::memcpy(&address, found->h_addr_list[0], sizeof address);
    return address;
}

socket_handle net_connect_ipv4(std::uint32_t address, std::uint16_t port) {
    const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd == INVALID_SOCKET) return no_socket;
    sockaddr_in target;
    static_assert(sizeof target == 16, "the IPv4 address record is 16 bytes");
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = ::htons(port);
    target.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == SOCKET_ERROR) {
        ::closesocket(fd);
        return no_socket;
    }
    return static_cast<socket_handle>(fd);
}

long long net_send(socket_handle socket, const void* data, std::size_t length) {
    trace_send(length);
    return ::send(socket_of(socket), static_cast<const char*>(data), capped_length(length), 0);
}

bool net_send_all(socket_handle socket, const void* data, std::size_t length) {
    trace_send(length);
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const int sent = ::send(socket_of(socket), next, capped_length(length), 0);
        if (sent <= 0) return false;
        next += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

long long net_recv(socket_handle socket, void* buffer, std::size_t length) {
    return ::recv(socket_of(socket), static_cast<char*>(buffer), capped_length(length), 0);
}

void net_trace_sends(std::vector<std::size_t>* sink) { send_trace = sink; }

// ---- Files and directories ---------------------------------------------------------------------

std::optional<file_status> file_stat(wide_view path) {
    std::wstring native = native_path(path);
    const bool named_as_directory = path_for_status(native);
    // The 64-bit call: a file of 4 GiB or more keeps its size.
    struct _stat64 info {};
    if (::_wstat64(native.c_str(), &info) != 0) return std::nullopt;
    file_status status;
    status.is_file = (info.st_mode & _S_IFMT) == _S_IFREG;
    status.is_dir = (info.st_mode & _S_IFMT) == _S_IFDIR;
    if (named_as_directory && !status.is_dir) return std::nullopt;
    status.size = static_cast<std::uint64_t>(info.st_size);
    if (status.is_dir) identify_directory(native, status);
    return status;
}

std::FILE* file_open_read(wide_view path) {
    std::FILE* stream = ::_wfopen(native_path(path).c_str(), L"rb");
    // The archive reads every file whole into its own buffer: a stream buffer would only add a
    // copy of each byte.
    if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

unsigned char* file_buffer_allocate(std::size_t size) {
    return static_cast<unsigned char*>(std::malloc(size == 0 ? 1 : size));
}

void file_buffer_release(unsigned char* buffer, std::size_t) { std::free(buffer); }

struct dir_listing {
    HANDLE find;            // INVALID_HANDLE_VALUE once the listing has ended
    WIN32_FIND_DATAW data;  // the entry last found
    bool pending;           // FindFirstFileW's entry, not yielded yet
};

namespace {

// The longest directory path a listing is opened for; a longer one is left out rather than cut
// into the name of a different directory.
constexpr std::size_t max_listed_directory_units = MAX_PATH;

void end_listing(dir_listing* listing) {
    if (listing->find != INVALID_HANDLE_VALUE) ::FindClose(listing->find);
    listing->find = INVALID_HANDLE_VALUE;
    listing->pending = false;
}

}  // namespace

dir_listing* dir_listing_open(wide_view path) {
    if (path.size() > max_listed_directory_units) return nullptr;
    // "photos" is searched as "photos\*", "C:\" as "C:\*" and "C:" (that drive's current
    // directory) as "C:*".
    std::wstring pattern = native_path(path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L':') pattern += L'\\';
    pattern += L'*';
    auto* listing = new dir_listing{};
    listing->find = ::FindFirstFileW(pattern.c_str(), &listing->data);
    if (listing->find != INVALID_HANDLE_VALUE) {
        listing->pending = true;
    } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
        // ERROR_FILE_NOT_FOUND is a directory without even "." in it (an empty drive root): an
        // empty listing. Anything else means the directory cannot be listed.
        delete listing;
        return nullptr;
    }
    return listing;
}

bool dir_listing_next(dir_listing* listing, wide_string& name, entry_kind& kind) {
    if (listing == nullptr) return false;
    if (listing->pending) {
        listing->pending = false;
    } else if (listing->find == INVALID_HANDLE_VALUE ||
               !::FindNextFileW(listing->find, &listing->data)) {
        end_listing(listing);
        return false;
    }
    const wchar_t* found = listing->data.cFileName;
    name = from_native(found, ::wcsnlen(found, MAX_PATH));
    const DWORD attributes = listing->data.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        kind = entry_kind::unknown;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        kind = entry_kind::directory;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        kind = entry_kind::other;
    } else {
        kind = entry_kind::file;
    }
    return true;
}

// Windows has no request to start reading a file into the cache without reading it.
std::uint64_t file_read_ahead(wide_view, std::uint64_t) { return 0; }

void dir_listing_close(dir_listing* listing) {
    if (listing == nullptr) return;
    end_listing(listing);
    delete listing;
}

// Windows keeps the current directory open itself, so the noted path leads back to it.
struct cwd_mark {
    std::wstring path;
};

cwd_mark* cwd_note() {
    wchar_t* current = ::_wgetcwd(nullptr, 0);
    if (current == nullptr) return nullptr;
    auto* mark = new cwd_mark{current};
    std::free(current);
    return mark;
}

bool cwd_change(wide_view path) { return ::_wchdir(native_path(path).c_str()) == 0; }

bool cwd_restore(const cwd_mark* mark) {
    return mark != nullptr && ::_wchdir(mark->path.c_str()) == 0;
}

void cwd_release(cwd_mark* mark) { delete mark; }

// ---- Settings location -------------------------------------------------------------------------

std::optional<std::string> env_get(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> settings_base_dir() { return env_get("APPDATA"); }

char path_separator() { return '\\'; }

bool make_dir(const std::string& path) { return ::_mkdir(path.c_str()) == 0; }

namespace {

// The file a symbolic link (or any other name) finally leads to; the name itself where that file
// cannot be opened, such as one not made yet.
std::wstring final_target(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return path;
    }
    const HANDLE handle =
        ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return path;
    std::wstring target(MAX_PATH, L'\0');
    DWORD length =
        ::GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
    if (length >= target.size()) {
        target.resize(length + 1);
        length = ::GetFinalPathNameByHandleW(handle, target.data(),
                                             static_cast<DWORD>(target.size()), 0);
    }
    ::CloseHandle(handle);
    if (length == 0 || length >= target.size()) return path;
    target.resize(length);
    return target;
}

bool write_all(HANDLE file, std::string_view content) {
    while (!content.empty()) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1u << 20));
        if (!::WriteFile(file, content.data(), piece, &written, nullptr) || written == 0) {
            return false;
        }
        content.remove_prefix(written);
    }
    return true;
}

// The attributes a rewritten file keeps; read-only never reaches here.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

constexpr unsigned temporary_name_tries = 100;

}  // namespace

bool file_rewrite(const std::string& path, std::string_view content) {
    const std::wstring target = final_target(native_path(narrow_to_wide(path)));
    // Text as the runtime's text mode writes it: each line feed as CR LF.
    std::string text;
    for (char c : content) {
        if (c == '\n') text.push_back('\r');
        text.push_back(c);
    }
    // Opening the file for writing without changing it tells whether it may be written: a file
    // with the read-only attribute, or one the user may not write, is left as it is.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    const HANDLE existing = ::CreateFileW(target.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        ::CloseHandle(existing);
        const DWORD found = ::GetFileAttributesW(target.c_str());
        if (found != INVALID_FILE_ATTRIBUTES && (found & kept_attributes) != 0) {
            attributes = found & kept_attributes;
        }
    } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    const std::wstring stem = target + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-";
    for (unsigned attempt = 0; attempt < temporary_name_tries; ++attempt) {
        const std::wstring temporary = stem + std::to_wstring(attempt) + L".tmp";
        const HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          attributes, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            break;  // no file can be made in the folder: the file itself is written below
        }
        bool written = write_all(file, text) && ::FlushFileBuffers(file);
        written = ::CloseHandle(file) && written;
        if (written &&
            ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
            return true;
        }
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    const HANDLE file = ::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = write_all(file, text) && ::SetEndOfFile(file);
    return ::CloseHandle(file) && written;
}

// ---- Text and console --------------------------------------------------------------------------

wide_string narrow_to_wide(std::string_view narrow) {
    wide_string wide;
    while (!narrow.empty()) {
        const int bytes = capped_length(narrow.size());
        const int units = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), bytes, nullptr, 0);
        if (units <= 0) break;
        std::wstring converted(static_cast<std::size_t>(units), L'\0');
        ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), bytes, converted.data(), units);
        wide.append(converted.begin(), converted.end());
        narrow.remove_prefix(static_cast<std::size_t>(bytes));
    }
    return wide;
}

bool console_is_terminal(console_stream stream) {
    const HANDLE handle =
        ::GetStdHandle(stream == console_stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

// A console shows every character written as UTF-16; a pipe or a file gets UTF-8, which holds
// every character too, where the ANSI code page would turn many into '?'.
void console_write_error(wide_view text) {
    use_binary_streams();
    if (console_is_terminal(console_stream::error)) {
        std::fflush(stderr);
        write_console(::GetStdHandle(STD_ERROR_HANDLE), text);
        return;
    }
    const std::string bytes = utf16_to_utf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void console_write_output(const void* data, std::size_t length) {
    use_binary_streams();
    std::fwrite(data, 1, length, stdout);
    std::fflush(stdout);
}

// GetVersionExW is marked deprecated by some SDKs; it still reports the version that the
// User-Agent names.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string os_version_text() {
    OSVERSIONINFOW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    // Where the call fails the numbers stay 0: "Windows NT 0.0".
    ::GetVersionExW(&info);
    return "Windows NT " + std::to_string(info.dwMajorVersion) + "." +
           std::to_string(info.dwMinorVersion);
}
#pragma GCC diagnostic pop
