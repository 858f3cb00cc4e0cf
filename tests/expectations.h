// What a run must print and the device must hold, for any build of the tool: the one model that
// the end-to-end, Wine and soak tests check their runs against. Stated here from the rules the
// tool follows, never taken from its code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/device.h"  // image_size: the EEPROM the device holds

// The texts the tool prints, with their line ends as it writes them.
extern const std::string banner;
extern const std::string open_failure;
extern const std::string not_found;
extern const std::string read_failure;
extern const std::string too_large;
extern const std::string implausible;
extern const std::string no_answer;

// What follows the banner when there are too few arguments; `invocation` is the tool's name as
// it was started.
std::string usage_text(const std::string& invocation);

// The progress line of a byte confirmed at `address`: "Writing to EEPROM... " and the address as
// a percentage of the highest address (131071), three decimals, zero-padded to seven
// characters, a percent sign and a bare CR.
std::string progress_line(std::size_t address);

// The progress lines of the confirmed indices [0, count).
std::string progress_lines(std::size_t count);

// What a run must give.
struct expected_run {
    std::string out;  // standard output
    int status = 0;
    std::size_t sent = 0;    // the file's first bytes that reach the device, which stores them all
    std::string device_end;  // the simulator's word for the end of the transfer, when data flowed
};

// The run ends before any byte is sent: the banner, `message`, status 1.
expected_run failed_before_any_byte(const std::string& message);

// A file of `size` bytes written to a device that commits `faults`, each "KIND@INDEX" as the
// simulator's --fault takes it.
expected_run written(std::size_t size, const std::vector<std::string>& faults = {});

// Standard output in Windows text mode: each "\n" the tool writes reaches a pipe as "\r\n", so
// "\r\n" arrives as "\r\r\n".
std::string in_text_mode(const std::string& out);
expected_run in_text_mode(expected_run expected);

// One row of a table that every build of the tool is run on.
struct device_case {
    std::string name;
    std::string data;  // the EEPROM file
    std::vector<std::string> sim_options;
    expected_run expected;
};

// Files that reach the device whole, from a device that keeps to the protocol or strays from it
// harmlessly.
std::vector<device_case> writing_cases();

// A device that answers wrongly, late, partly or not at all.
std::vector<device_case> fault_cases();

// The bytes 0 to 255 in order.
std::string every_byte_value();

// An erased EEPROM that then received `data` from address 0, wrapping at its end.
std::string image_after(const std::string& data);

// Empty when the images are equal; otherwise where they first differ. An EEPROM is too big to
// show whole in a failure message.
std::string image_difference(const std::string& actual, const std::string& expected);

// What the simulator says when a transfer ends: how many data bytes it received.
std::string device_report(const std::string& how, std::size_t data_bytes);
