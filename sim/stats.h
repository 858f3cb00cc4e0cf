// Timing figures of one transfer, as --stats writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct transfer_timing {
    std::uint64_t data_bytes = 0;
    std::int64_t first_read_ns = 0;      // when the first data byte was read
    std::int64_t answered_ns = 0;        // when the last frame was written (or the byte handled)
    std::vector<double> turnarounds_us;  // frame written to next data byte read
};

// The "key value" lines of the stats file.
std::string stats_text(const transfer_timing& timing);
