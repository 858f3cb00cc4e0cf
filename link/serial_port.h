// The serial port to the Quillbox: open and configure it, move single bytes, close it.
// One source file per platform implements these procedures; CMake picks the right one.
#pragma once

#include <cstdint>

// The operating system's handle of the open port: a file descriptor on POSIX, a HANDLE on
// Windows. Both fit in a pointer-sized integer, which keeps this header free of system headers.
using port_handle = std::intptr_t;

// What one attempt to read a byte found.
enum class receive_result {
    nothing,  // no byte has arrived yet
    byte,     // one byte arrived and lies in the slot
    lost,     // the device is gone (hang-up, I/O error); waiting longer cannot help
};

// Opens the named port exclusively and sets it up for the Quillbox: 115,200 bit/s, 8N1, raw,
// DTR off, no XON/XOFF pacing of its input, reads that never wait. Returns only on success;
// otherwise prints the failure and ends the process with status 1.
port_handle open_serial_port(const char* name);

// Hands one byte to the port. Reports nothing: a byte that did not go out shows only in the
// missing confirmation.
void send_byte(port_handle port, std::uint8_t byte);

// Takes one byte from the port if one has arrived. Never waits.
receive_result receive_byte(port_handle port, std::uint8_t* slot);

// Milliseconds on a clock that never jumps; only differences between two readings mean anything.
std::int64_t monotonic_milliseconds();

// Waits until a byte may be there to read or until the clock passes deadline_ms. Returns false
// when the deadline passed or the device is gone, true when a read is worth trying.
bool wait_for_input(port_handle port, std::int64_t deadline_ms);

// Closes the port. Returns only on success; otherwise prints the failure and ends the process
// with status 1.
void close_serial_port(port_handle port);
