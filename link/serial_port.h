// The serial port to the Quillbox: open and configure it, move bytes, close it.
// One source file per platform implements these procedures; CMake picks the right one.
#pragma once

#include <cstdint>

// The operating system's handle of the open port: a file descriptor on POSIX, a HANDLE on
// Windows. Both fit in a pointer-sized integer, which keeps this header free of system headers.
using port_handle = std::intptr_t;

// The size of the device's confirmation frame. The port is set up to wake a waiting reader once
// a whole frame is there, not once for each of its bytes.
constexpr int frame_size = 5;

// What receive_bytes returns when the device is gone (hang-up, I/O error): waiting longer
// cannot help.
constexpr int port_lost = -1;

// Opens the named port exclusively and sets it up for the Quillbox: 115,200 bit/s, 8N1, raw,
// DTR off, no XON/XOFF pacing of its input, reads and writes that never wait. Returns only on
// success; otherwise prints the failure and ends the process with status 1.
port_handle open_serial_port(const char* name);

// Hands one byte to the port without waiting for it to leave. Reports nothing: a byte that
// could not go out (output stopped by flow control, say) shows only in the missing confirmation.
void send_byte(port_handle port, std::uint8_t byte);

// Takes at most `most` bytes that have already arrived, never more, so that whatever the device
// sent beyond them stays queued for the next frame. Never waits. Returns how many bytes it took
// (0 when none had arrived), or port_lost.
int receive_bytes(port_handle port, std::uint8_t* buffer, int most);

// Milliseconds on a clock that never jumps; only differences between two readings mean anything.
std::int64_t monotonic_milliseconds();

// Waits until a frame may be there to read or until the clock passes deadline_ms. Returns false
// when the deadline passed or the device is gone, true when a read is worth trying.
bool wait_for_input(port_handle port, std::int64_t deadline_ms);

// Throws away output that the port has not sent yet, so that closing it after a failure does not
// wait for bytes that may never leave (output held by flow control, say). Only failure paths call
// this: a run that succeeds has had every byte confirmed.
void discard_unsent_output(port_handle port);

// Closes the port. Returns only on success; otherwise prints the failure and ends the process
// with status 1.
void close_serial_port(port_handle port);
