// What terminals do differently on this system. Each system has its own source, picked by the
// build: terminal_linux.cpp, or terminal_bsd.cpp for macOS and the BSDs.
#pragma once

#include <termios.h>

// The bit rate a termios speed stands for, or -1 when the system names no such speed.
long bits_per_second(speed_t speed);

// At the start of a transfer: drops the frames still queued toward the far end of the
// pseudo-terminal `master`, which a far end that already left never read.
void drop_stale_frames(int master);
