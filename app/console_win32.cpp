// Standard output stays in text mode on purpose: "\r\n" leaves the tool as CR CR LF.
#include <io.h>

#include <cstdio>

#include "app/console.h"

void hold_standard_streams() {
    // Nothing to do: the port is a HANDLE from CreateFileA, never a C runtime descriptor, so it
    // cannot take the place of a closed standard output.
}

void make_console_output_immediate() {
    if (_isatty(_fileno(stdout)) != 0) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
}
