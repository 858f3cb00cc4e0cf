// The console the tool prints to: standard streams that cannot be lost, output that reaches the
// screen as it is printed.
#pragma once

// Opens /dev/null on each of standard input, output and error that the caller left closed, so
// that neither the port nor the EEPROM file can be given one of those numbers: the tool's own
// text would then go down the line and into the EEPROM. Ends the process with status 1 when that
// cannot be done. Call before anything else is opened.
void hold_standard_streams();

// When standard output is a terminal, makes it unbuffered: the progress line ends in a bare
// carriage return, which would otherwise sit in a line buffer until the run ends. Output to a
// file or a pipe keeps the C library's block buffering. Call before anything is printed.
void make_console_output_immediate();
