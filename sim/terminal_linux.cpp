#include <termios.h>

#include "sim/terminal.h"

namespace {

struct speed_name {
    speed_t speed;
    long bits_per_second;
};

// Linux speeds are codes, not rates.
const speed_name speeds[] = {
    {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

}  // namespace

long bits_per_second(speed_t speed) {
    for (const speed_name& s : speeds) {
        if (s.speed == speed) {
            return s.bits_per_second;
        }
    }
    return -1;
}

// Master and slave are two terminals here, each with its own queues: the master's output queue
// holds only our frames.
void drop_stale_frames(int master) {
    tcflush(master, TCOFLUSH);
}
