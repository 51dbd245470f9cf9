// The one seam to the operating system: sockets, files, directory listings, the working
// directory, the environment, console output, text conversion, the OS version and the command
// line. Each platform has one implementation file (posix.cpp, win32.cpp); nothing above this
// header includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Wide text is UTF-16 on every platform: file names, the archive and every message.
using wide_string = std::u16string;
using wide_view = std::u16string_view;

// ---- Entry point -------------------------------------------------------------------------------
// Windows hands the program UTF-16 arguments through wmain; POSIX hands bytes to main.
#ifdef _WIN32
#define NEXIVANE_MAIN wmain
using native_char = wchar_t;
#else
#define NEXIVANE_MAIN main
using native_char = char;
#endif

// The arguments as UTF-16 text, the program's own path first. On POSIX every byte that is not
// valid UTF-8 is kept as the lone unit 0xDC00 + byte, so the path can be turned back exactly.
std::vector<wide_string> command_line_arguments(int argc, native_char** argv);

// ---- Sockets -----------------------------------------------------------------------------------
using socket_handle = std::intptr_t;
inline constexpr socket_handle no_socket = -1;

// Starts the socket library; throws the narrow text "Could not start WSA" where it cannot start.
void net_start();
void net_stop();

// The first IPv4 address of the host, in network byte order, or none when it does not resolve.
std::optional<std::uint32_t> net_resolve_ipv4(const std::string& host);

// A new blocking TCP socket connected to the address, or no_socket. No options, no time-outs.
socket_handle net_connect_ipv4(std::uint32_t address, std::uint16_t port);

// One send call of at most `length` bytes (interruptions are retried); returns what the system
// returned: the count sent, 0, or a negative value on failure. A closed peer never raises a
// signal.
long long net_send(socket_handle socket, const void* data, std::size_t length);

// Sends one whole item (a head line, a preamble item), continuing after short counts.
bool net_send_all(socket_handle socket, const void* data, std::size_t length);

// One receive call into at most `length` bytes: the count, 0 at the end, negative on failure.
long long net_recv(socket_handle socket, void* buffer, std::size_t length);

// While set, every net_send and net_send_all call appends the length it was asked to send, so
// that the number and size of send items can be checked.
void net_trace_sends(std::vector<std::size_t>* sink);

// ---- Files and directories ---------------------------------------------------------------------
struct file_status {
    bool is_file = false;
    bool is_dir = false;
    std::uint64_t size = 0;
    // Identify a directory on the current walk path, so a link back into it is not entered.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Status of the path (links followed), or none when it cannot be taken.
std::optional<file_status> file_stat(wide_view path);

// The file opened for reading bytes unchanged ("rb"), or null.
std::FILE* file_open_read(wide_view path);

// Memory for one file's bytes, which are read into it once and sent from it. Null when the
// memory cannot be had. Release with the same size.
unsigned char* file_buffer_allocate(std::size_t size);
void file_buffer_release(unsigned char* buffer, std::size_t size);

// What a listing says an entry is, where it says so without a status call. Only a hint: the
// walk takes every entry's status itself.
enum class entry_kind { unknown, file, directory, other };

// A directory listing in the platform's order, "." and ".." included where the platform lists
// them.
struct dir_listing;
dir_listing* dir_listing_open(wide_view path);  // null when the directory cannot be listed
// False once the listing ended.
bool dir_listing_next(dir_listing* listing, wide_string& name, entry_kind& kind);
void dir_listing_close(dir_listing* listing);

// Asks the system to start reading the file into its cache, so that its bytes are on their way
// while earlier files are read. Only a regular file of at most `most_bytes` is asked for, and it
// is opened only when it is one. Returns the bytes asked for: 0 where nothing was (or where the
// platform has no such request).
std::uint64_t file_read_ahead(wide_view path, std::uint64_t most_bytes);

// The working directory: noted before a directory is entered and made current again after.
struct cwd_mark;
cwd_mark* cwd_note();  // null when the current directory cannot be noted
bool cwd_change(wide_view path);
bool cwd_restore(const cwd_mark* mark);
void cwd_release(cwd_mark* mark);

// ---- Settings location -------------------------------------------------------------------------
std::optional<std::string> env_get(const char* name);

// The folder that holds the client's settings folder: "APPDATA" where it is set; on POSIX
// otherwise $XDG_CONFIG_HOME or $HOME/.config (created when missing). None when there is no such
// folder, and the client then runs on its defaults without a file.
std::optional<std::string> settings_base_dir();

// The separator between the components of a narrow path.
char path_separator();

// Creates one directory; the result is not needed by the settings (an existing one is normal).
bool make_dir(const std::string& path);

// Makes `content` the whole of the file at `path`, line feeds written as the platform's line
// ends. A symbolic link is written through: the file it names is replaced and the link stays. The
// content goes into a new file of a unique name beside that file, which keeps the file's
// permissions and is moved over it in one step, so no one sees it half-written; where no file can
// be made beside it, the file is rewritten in place. False, with the file left as it was and no
// temporary file behind, when the file cannot be written (a read-only file included).
bool file_rewrite(const std::string& path, std::string_view content);

// ---- Text and console --------------------------------------------------------------------------
// Narrow text (UTF-8 on POSIX, the ANSI code page on Windows) to UTF-16.
wide_string narrow_to_wide(std::string_view narrow);

// One message's text written to standard error in the console's encoding.
void console_write_error(wide_view text);

// Raw bytes to standard output.
void console_write_output(const void* data, std::size_t length);

enum class console_stream { output, error };

// Whether a person may be watching the stream: a terminal on POSIX, a console on Windows. A pipe
// or a file is not.
bool console_is_terminal(console_stream stream);

// The running system's name and version for the User-Agent, e.g. "Windows NT 6.1" or
// "Linux 6.1".
std::string os_version_text();
