// The simulated device byte by byte: where it stores each byte, the frame it answers, and every
// fault it can be told to commit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/device.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The rule: for the n-th data byte of a transfer, n as an unsigned 32-bit number, least
// significant byte first, then the byte itself.
bytes frame(std::uint64_t n, std::uint8_t byte) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24), byte};
}

bytes first_three(bytes f) {
    f.resize(3);
    return f;
}

bytes sent(const answer& a) {
    return bytes(a.bytes, a.bytes + a.length);
}

std::uint8_t data_byte(std::uint64_t n) {
    return static_cast<std::uint8_t>(0x5A + 3 * n);
}

struct fault_case {
    const char* text;
    std::vector<fault_kind> kinds;  // all at the same index
    bytes (*answer_at)(std::uint64_t n, std::uint8_t byte);
    bool hangs_up;
};

const fault_case fault_cases[] = {
    {"echo",
     {fault_kind::echo},
     [](std::uint64_t n, std::uint8_t b) { return frame(n, static_cast<std::uint8_t>(~b)); },
     false},
    {"address",
     {fault_kind::address},
     [](std::uint64_t n, std::uint8_t b) { return frame(n + 1, b); },
     false},
    {"msb-first",
     {fault_kind::msb_first},
     [](std::uint64_t n, std::uint8_t b) {
         bytes f = frame(n, b);
         return bytes{f[3], f[2], f[1], f[0], b};
     },
     false},
    {"extra-byte",
     {fault_kind::extra_byte},
     [](std::uint64_t n, std::uint8_t b) {
         bytes f = frame(n, b);
         f.push_back(0x00);
         return f;
     },
     false},
    {"cut-short",
     {fault_kind::cut_short},
     [](std::uint64_t n, std::uint8_t b) { return first_three(frame(n, b)); },
     false},
    {"silence", {fault_kind::silence}, [](std::uint64_t, std::uint8_t) { return bytes{}; }, false},
    {"hangup", {fault_kind::hangup}, [](std::uint64_t, std::uint8_t) { return bytes{}; }, true},
    {"cut-short and hangup",
     {fault_kind::cut_short, fault_kind::hangup},
     [](std::uint64_t n, std::uint8_t b) { return first_three(frame(n, b)); },
     true},
};

// Every fault, at the first byte and at a later one, in two transfers: each byte before the
// fault is answered right, the faulty byte is stored all the same, and the byte after it is
// answered right again.
TEST(device, every_fault_at_the_first_byte_and_later) {
    for (const fault_case& c : fault_cases) {
        for (std::uint64_t index : {0, 7}) {
            SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(index));
            device_state device;
            for (fault_kind kind : c.kinds) {
                device.faults.push_back({kind, index});
            }
            for (int transfer = 0; transfer < 2; ++transfer) {
                start_transfer(device);
                for (std::uint64_t n = 0; n <= index + 1; ++n) {
                    const std::uint8_t byte = data_byte(n + 100 * transfer);
                    const answer a = receive_data_byte(device, byte);
                    const bool faulty = n == index;
                    EXPECT_EQ(sent(a), faulty ? c.answer_at(n, byte) : frame(n, byte)) << n;
                    EXPECT_EQ(a.hang_up, faulty && c.hangs_up) << n;
                    EXPECT_EQ(device.image[n], byte) << n;
                }
            }
        }
    }
}

// Byte n goes to address n mod 131,072, while the frame carries n itself (as 32 bits).
TEST(device, addresses_wrap_at_the_eeprom_size_and_frames_count_on) {
    device_state device;
    start_transfer(device);
    bytes expected(image_size, 0xFF);
    for (std::uint64_t n = 0; n < image_size + 3; ++n) {
        const answer a = receive_data_byte(device, data_byte(n));
        expected[n % image_size] = data_byte(n);
        if (n >= image_size - 1) {
            EXPECT_EQ(sent(a), frame(n, data_byte(n))) << n;
        }
    }
    EXPECT_EQ(device.image, expected);
    EXPECT_EQ(image_size, 131072U);

    // Past 2^32 bytes the frame's count wraps too.
    device.data_bytes = 0xFFFFFFFF;
    EXPECT_EQ(sent(receive_data_byte(device, 0x11)), (bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x11}));
    EXPECT_EQ(sent(receive_data_byte(device, 0x22)), (bytes{0x00, 0x00, 0x00, 0x00, 0x22}));
    EXPECT_EQ(device.image[131071], 0x11);
    EXPECT_EQ(device.image[0], 0x22);
}

// A new transfer numbers from 0 again and overwrites from address 0; the rest of the image
// stays as the last transfer left it.
TEST(device, a_new_transfer_starts_again_at_address_zero) {
    device_state device;
    start_transfer(device);
    for (std::uint64_t n = 0; n < 5; ++n) {
        receive_data_byte(device, data_byte(n));
    }
    start_transfer(device);
    EXPECT_EQ(sent(receive_data_byte(device, 0xA0)), frame(0, 0xA0));
    EXPECT_EQ(sent(receive_data_byte(device, 0xA1)), frame(1, 0xA1));
    EXPECT_EQ(bytes(device.image.begin(), device.image.begin() + 6),
              (bytes{0xA0, 0xA1, data_byte(2), data_byte(3), data_byte(4), 0xFF}));
}

}  // namespace
