#include "sim/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string one_decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

double median(const std::vector<double>& sorted) {
    std::size_t n = sorted.size();
    if (n == 0) {
        return 0;
    }
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

// Nearest rank: the smallest sample that at least 99 % of the samples do not exceed.
double p99(const std::vector<double>& sorted) {
    if (sorted.empty()) {
        return 0;
    }
    auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

std::string stats_text(const transfer_timing& timing) {
    std::vector<double> sorted = timing.turnarounds_us;
    std::sort(sorted.begin(), sorted.end());
    std::int64_t active_us =
        timing.data_bytes == 0 ? 0 : (timing.answered_ns - timing.first_read_ns) / 1000;
    return "data_bytes " + std::to_string(timing.data_bytes) + "\n" + "active_us " +
           std::to_string(active_us) + "\n" + "turnaround_median_us " +
           one_decimal(median(sorted)) + "\n" + "turnaround_p99_us " + one_decimal(p99(sorted)) +
           "\n";
}
