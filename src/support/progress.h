// The one status line a person at a terminal sees while a long upload runs: how much has been
// packed, then how far the body has gone out. It is shown only when standard error is a terminal
// and TERM is not "dumb", is rewritten in place at most ten times a second, and is erased before
// any other line goes to standard error and once the body has gone out. Without a terminal
// nothing of it is written, so every byte a script or a gallery sees stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>

// Decides, once per run, whether the line is shown.
void progress_start();

// `files` held so far and the bytes of their data, the file being read included. Cheap enough to
// call for every piece read: the clock is looked at only every so many calls.
void progress_packed(std::uint32_t files, std::uint64_t bytes);

// The body of `total` bytes starts to go out.
void progress_send_start(std::uint64_t total);

// `bytes` more of the body have gone out. Called for every send piece: it makes no system call
// and no allocation but for the rare redraw.
void progress_sent(std::uint64_t bytes);

// Erases the line, if it is drawn, so the next line on the terminal stands alone; a later update
// draws it again.
void progress_clear();

// Erases the line for good: nothing more is drawn in this run.
void progress_finish();
