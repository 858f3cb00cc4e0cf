#include <unistd.h>

#include <cstdio>

#include "app/console.h"

void make_console_output_immediate() {
    if (isatty(STDOUT_FILENO) != 0) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
}
