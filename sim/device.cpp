#include "sim/device.h"

namespace {

void put_address(std::uint8_t* out, std::uint32_t address, bool msb_first) {
    for (int i = 0; i < 4; ++i) {
        int shift = msb_first ? 8 * (3 - i) : 8 * i;
        out[i] = static_cast<std::uint8_t>(address >> shift);
    }
}

}  // namespace

void start_transfer(device_state& device) {
    device.data_bytes = 0;
}

answer receive_data_byte(device_state& device, std::uint8_t byte) {
    std::uint64_t n = device.data_bytes++;
    // The device stores the byte whatever else goes wrong; only its answer misbehaves.
    device.image[n % image_size] = byte;

    bool wrong_echo = false;
    bool wrong_address = false;
    bool msb_first = false;
    bool extra_byte = false;
    bool cut_short = false;
    bool silent = false;
    bool hang_up = false;
    for (const fault& f : device.faults) {
        if (f.index != n) {
            continue;
        }
        switch (f.kind) {
            case fault_kind::echo:
                wrong_echo = true;
                break;
            case fault_kind::address:
                wrong_address = true;
                break;
            case fault_kind::msb_first:
                msb_first = true;
                break;
            case fault_kind::extra_byte:
                extra_byte = true;
                break;
            case fault_kind::cut_short:
                cut_short = true;
                break;
            case fault_kind::silence:
                silent = true;
                break;
            case fault_kind::hangup:
                hang_up = true;
                break;
        }
    }

    answer a{};
    a.hang_up = hang_up;
    // A hang-up alone drops the line without a frame; with cut-short, after part of one.
    if (silent || (hang_up && !cut_short)) {
        return a;
    }
    // The frame carries the full count, not the address it wrapped to.
    std::uint32_t address = static_cast<std::uint32_t>(wrong_address ? n + 1 : n);
    put_address(a.bytes, address, msb_first);
    a.bytes[4] = wrong_echo ? static_cast<std::uint8_t>(byte ^ 0xFF) : byte;
    a.length = 5;
    if (extra_byte) {
        a.bytes[5] = 0x00;
        a.length = 6;
    }
    if (cut_short) {
        a.length = 3;
    }
    return a;
}
