// The run of the tool, from the banner to the exit status.
#pragma once

#include <cstdint>
#include <cstdio>

// Where the usage text sends readers for more information.
constexpr const char* information_address = "https://quillbox.example.org/eeprom-writer";

// The length of an open file stream in bytes, or -1 when it cannot be measured (a pipe, say).
// The stream's position is the same after the call as before.
std::int64_t file_length(std::FILE* stream);

// What read_byte_at returns besides a byte value 0-255.
constexpr int byte_past_end = -1;  // the file ends before the index (it shrank)
constexpr int byte_unreadable = -2;

// The byte at `index` from the start of the file, fetched by an absolute positioning and a
// one-byte read, so that nothing depends on where an earlier read left the stream.
int read_byte_at(std::FILE* stream, std::int32_t index);

// Upper-cases a-z in place; every other byte stays as it is, whatever the locale.
void upper_case_in_place(char* text);

// The whole run: banner, usage or write, exit. Never returns.
[[noreturn]] void run_eeprom_writer(int argc, char** argv);
