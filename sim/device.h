// The Quillbox itself: what it stores and what it answers for each data byte, including the
// faults it can be told to commit. No I/O here, so tests can drive it byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::size_t image_size = 131072;  // 128 KiB of EEPROM

enum class fault_kind {
    echo,        // right address, echo XOR 0xFF
    address,     // address n + 1, right echo
    msb_first,   // address most significant byte first
    extra_byte,  // the right frame followed by 0x00
    cut_short,   // the first three bytes of the right frame, then nothing
    silence,     // no frame at all
    hangup,      // no frame, and the device drops the line
};

// Misbehave at data byte `index` of every transfer.
struct fault {
    fault_kind kind;
    std::uint64_t index;
};

struct device_state {
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(image_size, 0xFF);
    std::vector<fault> faults;
    std::uint64_t data_bytes = 0;  // bytes received in this transfer; n of the next one
};

// What the device sends back for one data byte.
struct answer {
    std::uint8_t bytes[6];
    std::size_t length;  // 0 when it stays silent
    bool hang_up;        // the device drops the line after whatever it answered
};

// A transfer begins when the far end opens the line; numbering starts again at 0.
void start_transfer(device_state& device);

// Stores the n-th data byte of the transfer at n % image_size and says how to answer it.
answer receive_data_byte(device_state& device, std::uint8_t byte);
