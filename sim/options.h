// The command line of quillbox-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device.h"

struct options {
    std::string image_path;  // empty: the image lives only in memory
    std::vector<fault> faults;
    std::int64_t latency_us = 0;
    std::int64_t jitter_us = 0;  // each frame waits up to this much longer, at random
    std::uint64_t seed = 1;      // of the jitter, so that a run can be repeated
    bool line_rate = false;
    std::string port_path;  // empty: serve a pseudo-terminal
    std::string stats_path;
    std::vector<std::string> command;  // run with "{}" replaced by the port path
    bool help = false;
};

// Fills `out` from argv. Returns false with a message in `error` when the line is wrong; a
// value out of range is refused with its range in the message.
bool parse_options(int argc, char** argv, options& out, std::string& error);

// The text --help prints.
const char* usage_text();
