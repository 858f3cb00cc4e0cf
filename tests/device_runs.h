// What the tool must print and the device must hold, and runs of the real tool as the
// simulator's command: shared by the end-to-end, reliability and soak tests.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/expectations.h"
#include "tests/process_helpers.h"

extern const std::string tool;  // the eeprom-writer under test
extern const std::string sim;   // quillbox-sim

extern const std::string banner;
extern const std::string open_failure;
extern const std::string not_found;
extern const std::string implausible;
extern const std::string no_answer;

struct device_run {
    run_result result;
    std::string image;
};

// Runs `command` as the simulator's command; "{}" in it stands for the port.
device_run run_on_device(const scratch_directory& dir, const std::vector<std::string>& command,
                         const std::vector<std::string>& sim_options = {});

// Writes `data` as the EEPROM file and runs the tool on it.
device_run write_to_device(const scratch_directory& dir, const std::string& data,
                           const std::vector<std::string>& sim_options = {});
