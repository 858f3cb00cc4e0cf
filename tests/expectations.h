// What a run must print and the device must hold, for any build of the tool.
#pragma once

#include <cstddef>
#include <string>

#include "sim/device.h"  // image_size: the EEPROM the device holds

// The bytes 0 to 255 in order.
std::string every_byte_value();

// The progress line of a byte confirmed at `address`: "Writing to EEPROM... " and the address as
// a percentage of the highest address (131071), three decimals, zero-padded to seven
// characters, a percent sign and a bare CR.
std::string progress_line(std::size_t address);

// The progress lines of the confirmed indices [0, count).
std::string progress_lines(std::size_t count);

// An erased EEPROM that then received `data` from address 0, wrapping at its end.
std::string image_after(const std::string& data);

// Empty when the images are equal; otherwise where they first differ. An EEPROM is too big to
// show whole in a failure message.
std::string image_difference(const std::string& actual, const std::string& expected);

// What the simulator says when a transfer ends: how many data bytes it received.
std::string device_report(const std::string& how, std::size_t data_bytes);
