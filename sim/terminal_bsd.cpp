#include "sim/terminal.h"

// BSD speeds are the rates themselves (B9600 is 9600), any rate the driver takes included.
static_assert(B9600 == 9600 && B230400 == 230400, "termios speeds are not bit rates here");

long bits_per_second(speed_t speed) {
    return static_cast<long>(speed);
}

// On a BSD pseudo-terminal master and slave share one terminal, and the master's TCOFLUSH flushes
// the slave's output queue, which holds the tool's first byte. The slave's last close has already
// flushed both queues, so there is nothing to drop.
void drop_stale_frames(int /*master*/) {}
