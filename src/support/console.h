// Message lines on standard error, and the one way a run ends early.
#pragma once

#include "platform/platform.h"

// Writes the text and a line feed on standard error. Nothing goes to standard output.
void print_message(wide_view text);

// Prints one message line and ends the process with exit status 1.
[[noreturn]] void fatal(wide_view text);
