// Console output that reaches the screen as it is printed.
#pragma once

// When standard output is a terminal, makes it unbuffered: the progress line ends in a bare
// carriage return, which would otherwise sit in a line buffer until the run ends. Output to a
// file or a pipe keeps the C library's block buffering. Call before anything is printed.
void make_console_output_immediate();
