// The write-and-confirm exchange: after every data byte the Quillbox answers with a five-byte
// frame, the address it stored the byte at (32 bits, least significant byte first) and the byte
// as stored. Stop-and-wait: the next byte goes out only once this frame has been checked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

// How long the device may take to answer one byte, counted from the moment it was sent.
constexpr std::int64_t answer_timeout_ms = 2000;

// The progress figure is scaled to the highest address of a 128 KiB EEPROM, not to the length
// of the file.
constexpr double progress_per_address = 100.0 / 131071;
// The division must give exactly the factor that earlier releases printed with.
static_assert(progress_per_address == 0.0007629452739355006, "progress scale drifted");

// The address a frame carries.
std::uint32_t frame_address(const std::uint8_t* frame);

// Whether a frame confirms `byte` stored at `index`: all 32 address bits, then the echo.
bool frame_matches(const std::uint8_t* frame, std::uint8_t byte, std::int32_t index);

// Writes the progress line for a confirmed address into `line` (NUL-terminated, ending in a
// bare carriage return so that the next line overwrites it on a console).
void format_progress_line(std::int32_t address, char* line, std::size_t size);

// Waits for the frame of the byte just sent at `index`, checks it and prints the progress line.
// Returns only when the frame matches. A wrong frame, no frame within answer_timeout_ms, or a
// device that went away prints the failure, closes the port and ends the process with status 1.
void await_confirmation(port_handle port, std::uint8_t byte, std::int32_t index);
