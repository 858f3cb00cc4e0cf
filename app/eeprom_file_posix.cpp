// Two system calls a byte: one fstat for the length, one pread for the byte. The stream's own
// buffer and position are never used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/eeprom_file.h"

eeprom_file_status open_eeprom_file(const char* path, std::FILE*& file) {
    // O_NONBLOCK only matters for what is no file; reads of a regular file or a block device
    // ignore it.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        return eeprom_file_status::not_found;
    }
    // /dev/zero has a size of 0 and would pass for an empty file; a FIFO or a terminal has none.
    if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
        return eeprom_file_status::no_length;
    }
    file = fdopen(fd, "rb");
    return file != nullptr ? eeprom_file_status::opened : eeprom_file_status::not_found;
}

std::int64_t file_length(std::FILE* stream) {
    const int fd = fileno(stream);
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return -1;
    }
    if (!S_ISBLK(status.st_mode)) {
        return status.st_size;
    }
    // A block device reports no size through fstat; its end is where a seek to the end lands.
    const off_t position = lseek(fd, 0, SEEK_CUR);
    const off_t length = lseek(fd, 0, SEEK_END);
    if (position < 0 || length < 0 || lseek(fd, position, SEEK_SET) < 0) {
        return -1;
    }
    return length;
}

int read_byte_at(std::FILE* stream, std::int32_t index) {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t count = pread(fileno(stream), &byte, 1, index);
        if (count == 1) {
            return byte;
        }
        if (count == 0) {
            return byte_past_end;
        }
        if (errno != EINTR) {
            return byte_unreadable;
        }
    }
}
