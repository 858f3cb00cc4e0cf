// The EEPROM file: opened once, measured and read a byte at a time by absolute position, so that
// nothing depends on where an earlier read left it. One source file per platform.
#pragma once

#include <cstdint>
#include <cstdio>

// What open_eeprom_file found.
enum class eeprom_file_status {
    opened,
    not_found,  // missing, unreadable, or a directory
    no_length,  // opens, but is not a regular file or a block device (a FIFO, /dev/zero, a
                // terminal): it has no length to write up to
};

// Opens the file for reading without waiting (a FIFO without a writer would otherwise hold the
// open for ever), then looks at what was opened. Sets `file` only when the answer is `opened`.
eeprom_file_status open_eeprom_file(const char* path, std::FILE*& file);

// The length of the open file in bytes, or -1 when it cannot be measured. The stream's position
// is the same after the call as before.
std::int64_t file_length(std::FILE* stream);

// What read_byte_at returns besides a byte value 0-255.
constexpr int byte_past_end = -1;  // the file ends before the index (it shrank)
constexpr int byte_unreadable = -2;

// The byte at `index` from the start of the file.
int read_byte_at(std::FILE* stream, std::int32_t index);
