// What terminals do differently on this system. Each system has its own source, picked by the
// build: terminal_linux.cpp, or terminal_bsd.cpp for macOS and the BSDs.
#pragma once

#include <termios.h>

// The bit rate a termios speed stands for, or -1 when the system names no such speed.
long bits_per_second(speed_t speed);
