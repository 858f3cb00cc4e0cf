#include "link/write_confirmation.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail_and_close(port_handle port, const char* message) {
    std::printf("%s", message);
    discard_unsent_output(port);
    close_serial_port(port);
    std::exit(1);
}

}  // namespace

std::uint32_t frame_address(const std::uint8_t* frame) {
    return static_cast<std::uint32_t>(frame[0]) | static_cast<std::uint32_t>(frame[1]) << 8 |
           static_cast<std::uint32_t>(frame[2]) << 16 | static_cast<std::uint32_t>(frame[3]) << 24;
}

bool frame_matches(const std::uint8_t* frame, std::uint8_t byte, std::int32_t index) {
    return frame_address(frame) == static_cast<std::uint32_t>(index) && frame[4] == byte;
}

void format_progress_line(std::int32_t address, char* line, std::size_t size) {
    std::snprintf(line, size, "Writing to EEPROM... %07.3f%%\r",
                  static_cast<double>(address) * progress_per_address);
}

void await_confirmation(port_handle port, std::uint8_t byte, std::int32_t index) {
    static const char no_answer[] =
        "Error: No answer from Quillbox. Writing the EEPROM failed.\r\n";
    const std::int64_t deadline = monotonic_milliseconds() + answer_timeout_ms;

    // Every byte of the frame is gathered before anything is checked, so a frame is never cut
    // short and the next one starts where the device means it to. The wait comes first: right
    // after the byte went out, nothing can be there yet.
    std::uint8_t frame[frame_size];
    int count = 0;
    while (count < frame_size) {
        if (!wait_for_input(port, deadline)) {
            fail_and_close(port, no_answer);
        }
        const int received = receive_bytes(port, &frame[count], frame_size - count);
        if (received == port_lost) {
            fail_and_close(port, no_answer);
        }
        count += received;
    }

    if (!frame_matches(frame, byte, index)) {
        fail_and_close(port,
                       "Error: Implausible answer from Quillbox. Writing the EEPROM failed.\r\n");
    }

    char line[64];
    format_progress_line(index, line, sizeof line);
    std::fputs(line, stdout);
}
