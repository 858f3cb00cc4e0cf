#include "sim/pacing.h"

#include <algorithm>
#include <ctime>

#include "sim/line.h"
#include "sim/stop.h"

namespace {

constexpr std::int64_t byte_time_ns = 86806;  // 10 bits at 115,200 bit/s

// Sleeps toward an absolute deadline on the monotonic clock, so that delays do not add up over a
// frame; relative sleeps, each to what is left, so no system needs a sleep until a given time. The
// kernel wakes us late (timer slack, a busy host), so aim early by the lateness seen so far; one
// long stall is not typical.
void sleep_until(pacing& p, std::int64_t target_ns) {
    std::int64_t aim_ns = target_ns - p.wake_lateness_ns;
    std::int64_t left_ns = aim_ns - now_ns();
    if (left_ns <= 0) {
        return;
    }
    // A signal cuts a sleep short; sleep again for what is left unless told to stop.
    while (left_ns > 0 && !stop_requested()) {
        timespec t{static_cast<time_t>(left_ns / 1000000000),
                   static_cast<long>(left_ns % 1000000000)};
        nanosleep(&t, nullptr);
        left_ns = aim_ns - now_ns();
    }
    std::int64_t late_ns = std::min<std::int64_t>(now_ns() - aim_ns, 300000);
    p.wake_lateness_ns += (late_ns - p.wake_lateness_ns) / 8;
}

}  // namespace

pacing pacing_of(const options& opts) {
    return {opts.latency_us, opts.jitter_us, opts.line_rate, std::mt19937_64(opts.seed), 0};
}

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void send_answer(pacing& p, int fd, bool pty, const answer& a, std::int64_t read_ns) {
    if (a.length == 0) {
        return;
    }
    std::int64_t delay_us = p.latency_us;
    if (p.jitter_us > 0) {
        delay_us += std::uniform_int_distribution<std::int64_t>(0, p.jitter_us)(p.jitter);
    }
    std::int64_t start_ns = read_ns + delay_us * 1000 + (p.line_rate ? byte_time_ns : 0);
    if (!p.line_rate) {
        if (delay_us > 0) {
            sleep_until(p, start_ns);
            // A frame written after the far end left would greet the next one to open.
            if (pty && far_end_closed(fd)) {
                return;
            }
        }
        send_to_line(fd, a.bytes, a.length);
        return;
    }
    for (std::size_t k = 0; k < a.length; ++k) {
        sleep_until(p, start_ns + static_cast<std::int64_t>(k + 1) * byte_time_ns);
        if (pty && far_end_closed(fd)) {
            return;
        }
        send_to_line(fd, &a.bytes[k], 1);
    }
}
