// The bookkeeping of a transfer: whether one is open, its timing, and the account given when it
// ends.
#pragma once

#include <cstdint>
#include <string>

#include "sim/stats.h"

struct transfer_record {
    bool open = false;
    transfer_timing timing;
    std::int64_t last_byte_ns = 0;  // when the last data byte was read
};

void open_transfer(transfer_record& t);

// A data byte read at `read_ns`; it is the transfer's first while no byte has been answered.
void note_byte_read(transfer_record& t, std::int64_t read_ns);

// The byte has been handled (answered or not) at `answered_ns`; `data_bytes` have come in all.
void note_byte_handled(transfer_record& t, std::uint64_t data_bytes, std::int64_t answered_ns);

// Ends the transfer: a line on stderr that names `why` (none when it is nullptr), and its timing
// into `stats_path` when that is not empty.
void close_transfer(transfer_record& t, const char* why, const std::string& stats_path);
