// When answers go out: after --latency-us and --jitter-us, and with --line-rate one byte time
// apart, as a real line would carry them.
#pragma once

#include <cstdint>
#include <random>

#include "sim/device.h"
#include "sim/options.h"

struct pacing {
    std::int64_t latency_us = 0;
    std::int64_t jitter_us = 0;
    bool line_rate = false;
    std::mt19937_64 jitter;             // seeded from --seed: the same seed, the same delays
    std::int64_t wake_lateness_ns = 0;  // how late a sleep tends to return
};

pacing pacing_of(const options& opts);

// The monotonic clock, in nanoseconds.
std::int64_t now_ns();

// Sends answer `a` on the line `fd` for a data byte read at `read_ns`. On a pseudo-terminal
// (`pty`), a frame whose far end has left by the time it is due is not sent.
void send_answer(pacing& p, int fd, bool pty, const answer& a, std::int64_t read_ns);
