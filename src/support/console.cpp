#include "support/console.h"

#include <cstdlib>

#include "support/progress.h"

void print_message(wide_view text) {
    // Every message stands alone on its line, as it would without the status line.
    progress_clear();
    wide_string line(text);
    line.push_back(u'\n');
    console_write_error(line);
}

void fatal(wide_view text) {
    print_message(text);
    std::exit(1);
}
