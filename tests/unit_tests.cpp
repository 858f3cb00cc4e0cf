// The procedures with logic of their own that every platform shares: the progress figure, the
// frame check, the upper-casing of port names and the positioned reads of the EEPROM file. The
// platform's own procedures are tested in unit_tests_posix.cpp and unit_tests_win32.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/eeprom_file.h"
#include "app/run_sequence.h"
#include "link/write_confirmation.h"
#include "tests/progress_figures.h"
#include "tests/scratch_folder.h"

namespace {

std::string progress_line(std::int32_t address) {
    char line[64];
    format_progress_line(address, line, sizeof line);
    return line;
}

TEST(progress, figures_scale_to_a_128_kib_eeprom) {
    for (const progress_figure& f : progress_figures) {
        EXPECT_EQ(progress_line(f.address), f.line) << f.address;
    }
}

TEST(frame, only_the_right_address_and_echo_confirm_a_byte) {
    const struct {
        std::uint8_t frame[frame_size];
        std::uint8_t byte;
        std::int32_t index;
        bool matches;
    } cases[] = {
        {{0x00, 0x00, 0x00, 0x00, 0x41}, 0x41, 0, true},
        {{0x34, 0x12, 0x02, 0x00, 0xFF}, 0xFF, 0x21234, true},
        {{0x00, 0x00, 0x00, 0x00, 0x42}, 0x41, 0, false},  // wrong echo
        {{0x01, 0x00, 0x00, 0x00, 0x41}, 0x41, 0, false},  // wrong address
        {{0x00, 0x00, 0x00, 0x01, 0x41}, 0x41, 1, false},  // most significant byte first
        {{0x05, 0x00, 0x00, 0x80, 0x41}, 0x41, 5, false},  // differs in the top bit only
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame_matches(c.frame, c.byte, c.index), c.matches) << c.index;
    }
    const std::uint8_t msb_first[frame_size] = {0x00, 0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(frame_address(msb_first), 16777216u);
}

TEST(upper_case, only_ascii_letters_change) {
    std::string text = "com1 /dev/ttyUSB0 \xE4\xF6-_z";
    upper_case_in_place(text.data());
    EXPECT_EQ(text, "COM1 /DEV/TTYUSB0 \xE4\xF6-_Z");
}

TEST(eeprom_file, reads_are_positioned_and_leave_the_length_alone) {
    scratch_folder dir;
    put_file(dir.file("data.bin"), "\x10\x20\x30");
    std::FILE* file = nullptr;
    ASSERT_EQ(open_eeprom_file(dir.file("data.bin").c_str(), file), eeprom_file_status::opened);
    EXPECT_EQ(read_byte_at(file, 2), 0x30);
    EXPECT_EQ(read_byte_at(file, 0), 0x10);
    const long position = std::ftell(file);
    EXPECT_EQ(file_length(file), 3);
    EXPECT_EQ(std::ftell(file), position);
    EXPECT_EQ(read_byte_at(file, 3), byte_past_end);
    // The length is measured anew each time.
    put_file(dir.file("data.bin"), "\x10\x20\x30\x40\x50");
    EXPECT_EQ(file_length(file), 5);
    EXPECT_EQ(read_byte_at(file, 4), 0x50);
    std::fclose(file);
}

TEST(eeprom_file, a_failed_read_is_no_end_of_file) {
    scratch_folder dir;
    put_file(dir.file("data.bin"), "\x10\x20\x30");
    // A stream open for writing only fails every read.
    std::FILE* write_only = std::fopen(dir.file("data.bin").c_str(), "ab");
    ASSERT_NE(write_only, nullptr);
    EXPECT_EQ(read_byte_at(write_only, 0), byte_unreadable);
    std::fclose(write_only);
}

}  // namespace
