#include "support/console.h"

#include <cstdlib>

void print_message(wide_view text) {
    wide_string line(text);
    line.push_back(u'\n');
    console_write_error(line);
}

void fatal(wide_view text) {
    print_message(text);
    std::exit(1);
}
