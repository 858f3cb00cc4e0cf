#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/console.h"

void hold_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // open() takes the lowest free number, which is this one.
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            std::printf("Error: Cannot open /dev/null.\r\n");
            std::exit(1);
        }
    }
}

void make_console_output_immediate() {
    if (isatty(STDOUT_FILENO) != 0) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
}
