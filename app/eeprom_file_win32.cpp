// The C library's stream, unbuffered, with 64-bit positions: each byte is fetched by a seek and
// a one-byte read right after the length was measured at the end of the file, so a buffer would
// only be thrown away and refilled with a whole block for each byte.
#include <sys/stat.h>

#include "app/eeprom_file.h"

eeprom_file_status open_eeprom_file(const char* path, std::FILE*& file) {
    std::FILE* opened = std::fopen(path, "rb");
    struct _stat64 status {};
    if (opened == nullptr || _fstat64(_fileno(opened), &status) != 0 ||
        (status.st_mode & _S_IFMT) == _S_IFDIR) {
        return eeprom_file_status::not_found;
    }
    // NUL, CON or a pipe opens but has no length to write up to.
    if ((status.st_mode & _S_IFMT) != _S_IFREG) {
        return eeprom_file_status::no_length;
    }
    std::setvbuf(opened, nullptr, _IONBF, 0);
    file = opened;
    return eeprom_file_status::opened;
}

std::int64_t file_length(std::FILE* stream) {
    const std::int64_t position = _ftelli64(stream);
    if (position < 0 || _fseeki64(stream, 0, SEEK_END) != 0) {
        return -1;
    }
    const std::int64_t length = _ftelli64(stream);
    if (_fseeki64(stream, position, SEEK_SET) != 0) {
        return -1;
    }
    return length;
}

int read_byte_at(std::FILE* stream, std::int32_t index) {
    if (_fseeki64(stream, index, SEEK_SET) != 0) {
        return byte_unreadable;
    }
    const int value = std::fgetc(stream);
    if (value != EOF) {
        return value;
    }
    return std::ferror(stream) != 0 ? byte_unreadable : byte_past_end;
}
