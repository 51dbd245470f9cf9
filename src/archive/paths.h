// Turns the command-line paths into archive entries: a file is measured against the gallery's
// limits and added whole; a directory is walked depth first from inside itself, so its files
// enter the index under their bare names. Names beginning with a full stop are skipped inside a
// walk, never at the top level.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "archive/archive.h"
#include "platform/platform.h"

// One directory listing during a walk. `name` is the entry last yielded.
struct dir_iter {
    wide_string name;
    dir_listing* listing = nullptr;
};

// A new listing of the directory, or null when it cannot be listed.
dir_iter* dir_iter_open(wide_view dir);

// The next entry's name, valid until the next call; null once the listing has ended, after
// which the iterator may be freed with dir_iter_close.
const wide_string* dir_iter_next(dir_iter* iterator);
void dir_iter_close(dir_iter* iterator);

// Adds the file, or every file under the directory, that the gallery will take.
void add_path(upload_archive& archive, wide_view path);
