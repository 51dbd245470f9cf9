// Where accepted uploads go. Each one is written into a hidden folder of its own under the
// storage root and renamed to the next free "upload-NNNNNN" only once every file is complete,
// so a half-stored upload is never visible under an upload name. Everything is opened relative
// to the root's descriptor, never following links, so nothing lands outside it, and the folder
// is written and published through the descriptor it was opened with: if its name comes to
// mean anything else meanwhile, nothing is published.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive.h"

namespace gallery {

struct storage_root {
    int fd = -1;
    std::atomic<std::uint64_t> next_number{1};
    std::atomic<std::uint64_t> next_partial{1};
};

// Creates the root if it is missing and finds the first upload number after those it holds, so
// numbers are not reused across restarts.
bool open_storage_root(storage_root& root, const std::string& path, std::string& error);

struct upload_folder {
    int fd = -1;
    std::string partial_name;
    // Which folder the descriptor is, to tell whether its name still refers to it.
    dev_t device = 0;
    ino_t inode = 0;
};

bool begin_upload_folder(storage_root& root, upload_folder& folder, std::string& error);

// Creates a new file that must not exist yet; returns its descriptor or -1 with errno set.
int create_stored_file(const upload_folder& folder, const std::string& name);

// Renames the finished folder to the next free upload name and returns that name; fails, and
// publishes nothing, when the hidden name no longer refers to the folder that was written.
std::optional<std::string> publish_upload_folder(storage_root& root, upload_folder& folder,
                                                 std::string& error);

// Removes whatever was written into the folder, and the folder where its name still is it.
void discard_upload_folder(storage_root& root, upload_folder& folder);

std::string utf8_from_utf16(std::u16string_view text);

// The name a file is stored under: the last component of its index name with anything that
// could reach outside the upload folder, hide the file, read otherwise than it sorts, or not
// copy unchanged onto a Windows file system made harmless.
std::string safe_file_name(std::u16string_view index_name);

// Safe names for a whole index, with later files of an already taken name numbered
// "a (2).jpg", "a (3).jpg", and every name short enough for the file system. Names that differ
// only in case are taken as one, as they are on Windows file systems.
std::vector<std::string> stored_names(const std::vector<indexed_file>& files);

}  // namespace gallery
