#include "archive/paths.h"

#include <algorithm>
#include <string>

#include "http/limits.h"
#include "support/console.h"
#include "support/format.h"
#include "support/text.h"

namespace {

constexpr char count_warning[] =
    "server refuses to accept more than %d files per session, the rest is ignored";
constexpr char size_warning[] =
    "server refuses to accept files bigger than %dK, big images ignored";
constexpr std::uint32_t no_file_size_limit = UINT32_MAX;
constexpr char format_warning[] =
    "files of 1000000000 bytes or more cannot be sent, such files ignored";

// How far the walk reads ahead of itself in a listing: enough files that the disk has several
// requests at once, few enough that the cache is not flooded; the entry count bounds the memory
// a folder of things that are not files can take.
constexpr std::uint32_t read_ahead_files = 16;
constexpr std::uint64_t read_ahead_bytes = 16u << 20;
constexpr std::size_t read_ahead_entries = 64;

// The directories entered on the way down to the one being walked: one that is met again would
// lead the walk round in a circle.
struct directory_identity {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const directory_identity&) const = default;
};
using walk_path = std::vector<directory_identity>;

void warn_narrow(std::string_view format, std::int32_t number) {
    char line[160];
    const std::size_t length = format_narrow(line, sizeof line, format, {number});
    print_message(to_wide(std::string_view(line, std::min(length, sizeof line - 1))));
}

// The warnings are printed once per run each: their flags are never cleared.
void warn_once(std::uint32_t& warned, std::string_view format, std::int32_t number) {
    if (warned != 0) return;
    warned = 1;
    warn_narrow(format, number);
}

void add_file(upload_archive& archive, wide_view path, std::uint64_t size,
              const upload_limits& limits) {
    // The count test comes first: once the count is reached, only its warning can appear.
    if (archive.file_count >= limits.max_files) {
        warn_once(archive.count_warned, count_warning, static_cast<std::int32_t>(limits.max_files));
        return;
    }
    // The largest limit is the gallery's "no limit": a file past it is refused by the format
    // alone, and the gallery's warning would name a limit it does not have.
    if (size > limits.max_file_bytes && limits.max_file_bytes != no_file_size_limit) {
        warn_once(archive.size_warned, size_warning,
                  static_cast<std::int32_t>(limits.max_file_bytes >> 10));
        return;
    }
    if (size > largest_archive_file) {
        if (archive.format_warned == 0) {
            archive.format_warned = 1;
            print_message(to_wide(format_warning));
        }
        return;
    }
    std::FILE* stream = file_open_read(path);
    if (stream == nullptr) return;
    const auto held_size = static_cast<std::uint32_t>(size);
    if (archive_add_file_data(archive, held_size, stream)) {
        archive_add_index_entry(archive, held_size, path);
    }
    std::fclose(stream);
}

void add_entry(upload_archive& archive, wide_view path, walk_path& entered);

void walk_directory(upload_archive& archive, wide_view path, const file_status& status,
                    walk_path& entered) {
    const directory_identity identity{status.device, status.inode};
    if (std::find(entered.begin(), entered.end(), identity) != entered.end()) return;
    dir_iter* iterator = dir_iter_open(path);
    if (iterator == nullptr) return;
    cwd_mark* noted = cwd_note();
    if (noted == nullptr || !cwd_change(path)) {
        // Its entries would be looked up in the wrong directory: leave the directory out.
        cwd_release(noted);
        dir_iter_close(iterator);
        return;
    }
    entered.push_back(identity);
    const upload_limits limits = get_upload_limits();
    const std::uint64_t most_bytes =
        std::min<std::uint64_t>(limits.max_file_bytes, largest_archive_file);
    for (;;) {
        // The files coming next in the listing are being read in while this one is.
        const std::uint64_t files_wanted =
            archive.file_count < limits.max_files ? limits.max_files - archive.file_count : 0;
        dir_iter_read_ahead(iterator, most_bytes, files_wanted);
        const wide_string* name = dir_iter_next(iterator);
        if (name == nullptr) break;
        if (!name->empty() && (*name)[0] == u'.') continue;
        add_entry(archive, *name, entered);
    }
    entered.pop_back();
    dir_iter_close(iterator);
    const bool restored = cwd_restore(noted);
    cwd_release(noted);
    // Every later path would resolve against the wrong directory.
    if (!restored) fatal(u"cannot return to the directory the walk came from");
}

void add_entry(upload_archive& archive, wide_view path, walk_path& entered) {
    const upload_limits limits = get_upload_limits();
    const auto status = file_stat(path);
    if (!status) return;
    if (status->is_file) {
        add_file(archive, path, status->size, limits);
    } else if (status->is_dir) {
        walk_directory(archive, path, *status, entered);
    }
}

}  // namespace

dir_iter* dir_iter_open(wide_view dir) {
    dir_listing* listing = dir_listing_open(dir);
    if (listing == nullptr) return nullptr;
    auto* iterator = new dir_iter;
    iterator->listing = listing;
    return iterator;
}

namespace {

// The next entry straight from the listing; false once it has ended (and is closed).
bool take_from_listing(dir_iter* iterator, wide_string& name, entry_kind& kind) {
    if (iterator->listing == nullptr) return false;
    if (dir_listing_next(iterator->listing, name, kind)) return true;
    dir_listing_close(iterator->listing);
    iterator->listing = nullptr;
    return false;
}

}  // namespace

const wide_string* dir_iter_next(dir_iter* iterator) {
    if (iterator == nullptr) return nullptr;
    if (!iterator->ahead.empty()) {
        dir_entry_ahead& next = iterator->ahead.front();
        if (next.asked_bytes > 0) {
            --iterator->ahead_files;
            iterator->ahead_bytes -= next.asked_bytes;
        }
        iterator->name = std::move(next.name);
        iterator->ahead.pop_front();
        return &iterator->name;
    }
    entry_kind kind = entry_kind::unknown;
    return take_from_listing(iterator, iterator->name, kind) ? &iterator->name : nullptr;
}

void dir_iter_read_ahead(dir_iter* iterator, std::uint64_t most_bytes, std::uint64_t files_wanted) {
    if (iterator == nullptr) return;
    files_wanted = std::min<std::uint64_t>(files_wanted, read_ahead_files);
    while (iterator->ahead_files < files_wanted && iterator->ahead_bytes < read_ahead_bytes &&
           iterator->ahead.size() < read_ahead_entries) {
        dir_entry_ahead entry;
        entry_kind kind = entry_kind::unknown;
        if (!take_from_listing(iterator, entry.name, kind)) return;
        const bool may_enter = !entry.name.empty() && entry.name[0] != u'.' &&
                               (kind == entry_kind::file || kind == entry_kind::unknown);
        if (may_enter) entry.asked_bytes = file_read_ahead(entry.name, most_bytes);
        if (entry.asked_bytes > 0) {
            ++iterator->ahead_files;
            iterator->ahead_bytes += entry.asked_bytes;
        }
        iterator->ahead.push_back(std::move(entry));
    }
}

void dir_iter_close(dir_iter* iterator) {
    if (iterator == nullptr) return;
    dir_listing_close(iterator->listing);
    delete iterator;
}

void add_path(upload_archive& archive, wide_view path) {
    walk_path entered;
    add_entry(archive, path, entered);
}
