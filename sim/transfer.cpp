#include "sim/transfer.h"

#include <cstdio>

#include "sim/files.h"

void open_transfer(transfer_record& t) {
    t.timing = transfer_timing{};
    t.open = true;
}

void note_byte_read(transfer_record& t, std::int64_t read_ns) {
    if (t.timing.data_bytes == 0) {
        t.timing.first_read_ns = read_ns;
    } else {
        t.timing.turnarounds_us.push_back(static_cast<double>(read_ns - t.timing.answered_ns) /
                                          1000.0);
    }
    t.last_byte_ns = read_ns;
}

void note_byte_handled(transfer_record& t, std::uint64_t data_bytes, std::int64_t answered_ns) {
    t.timing.data_bytes = data_bytes;
    t.timing.answered_ns = answered_ns;
}

void close_transfer(transfer_record& t, const char* why, const std::string& stats_path) {
    t.open = false;
    if (why != nullptr) {
        std::fprintf(stderr, "quillbox-sim: %s after %llu data bytes\n", why,
                     static_cast<unsigned long long>(t.timing.data_bytes));
    }
    std::string error;
    if (!stats_path.empty() && !replace_file(stats_path, stats_text(t.timing), error)) {
        std::fprintf(stderr, "quillbox-sim: %s\n", error.c_str());
    }
}
