// Turns the command-line paths into archive entries: a file is measured against the gallery's
// limits and added whole; a directory is walked depth first from inside itself, so its files
// enter the index under their bare names. Names beginning with a full stop are skipped inside a
// walk, never at the top level.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "archive/archive.h"
#include "platform/platform.h"

// An entry taken from a listing before the walk reaches it, and the bytes of it that the system
// was asked to read ahead.
struct dir_entry_ahead {
    wide_string name;
    std::uint64_t asked_bytes = 0;
};

// One directory listing during a walk. `name` is the entry last yielded. A few entries may have
// been taken from the listing ahead of the walk, so that the files among them are read ahead;
// they are yielded in the listing's order all the same.
struct dir_iter {
    wide_string name;
    dir_listing* listing = nullptr;
    std::deque<dir_entry_ahead> ahead;
    std::uint32_t ahead_files = 0;  // entries in `ahead` that were asked for
    std::uint64_t ahead_bytes = 0;
};

// A new listing of the directory, or null when it cannot be listed.
dir_iter* dir_iter_open(wide_view dir);

// The next entry's name, valid until the next call; null once the listing has ended, after
// which the iterator may be freed with dir_iter_close.
const wide_string* dir_iter_next(dir_iter* iterator);

// Takes entries from the listing ahead of the walk until a few files are being read ahead,
// asking for those that may enter the archive: regular files (by their status) of at most
// `most_bytes`, no more of them than `files_wanted`, none whose name begins with a full stop.
void dir_iter_read_ahead(dir_iter* iterator, std::uint64_t most_bytes, std::uint64_t files_wanted);
void dir_iter_close(dir_iter* iterator);

// Adds the file, or every file under the directory, that the gallery will take.
void add_path(upload_archive& archive, wide_view path);
