// The procedures with logic of their own: the progress figure, the frame check, the port-name
// lookup and the positioned reads of the EEPROM file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/eeprom_file.h"
#include "app/run_sequence.h"
#include "link/port_name.h"
#include "link/write_confirmation.h"
#include "tests/process_helpers.h"

namespace {

std::string progress_line(std::int32_t address) {
    char line[64];
    format_progress_line(address, line, sizeof line);
    return line;
}

TEST(progress, figures_scale_to_a_128_kib_eeprom) {
    const struct {
        std::int32_t index;
        const char* figure;
    } cases[] = {{0, "000.000"},      {1, "000.001"},      {65535, "050.000"},
                 {131071, "100.000"}, {131072, "100.001"}, {1310710, "1000.000"}};
    for (const auto& c : cases) {
        EXPECT_EQ(progress_line(c.index), std::string("Writing to EEPROM... ") + c.figure + "%\r")
            << c.index;
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

TEST(port_name, upper_cased_paths_find_their_entry_again) {
    scratch_directory dir;
    mkdir(dir.file("Serial").c_str(), 0700);
    write_file(dir.file("Serial/ttyUSB0"), "");
    write_file(dir.file("Serial/twin"), "");
    write_file(dir.file("Serial/TWIN"), "");

    std::string upper = dir.path;
    upper_case_in_place(upper.data());
    const struct {
        std::string name;
        std::string resolved;
    } cases[] = {
        {upper + "/SERIAL/TTYUSB0", dir.file("Serial/ttyUSB0")},
        {upper + "//SERIAL/./TTYUSB0", dir.file("Serial/./ttyUSB0")},
        {upper + "/SERIAL/../SERIAL/TTYUSB0", dir.file("Serial/../Serial/ttyUSB0")},
        {upper + "/SERIAL/TWIN", ""},     // two entries answer: no guessing
        {upper + "/SERIAL/TTYUSB1", ""},  // none answers
        {"NULL", "/dev/null"},            // a bare name is looked up in /dev
        {"/DEV/NULL", "/dev/null"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resolve_port_name(c.name), c.resolved) << c.name;
    }
}

TEST(port_name, relative_paths_start_from_the_working_directory) {
    scratch_directory dir;
    write_file(dir.file("Port"), "");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    const std::string resolved = resolve_port_name("./PORT");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(resolved, "./Port");
}

TEST(upper_case, only_ascii_letters_change) {
    std::string text = "com1 /dev/ttyUSB0 \xE4\xF6-_z";
    upper_case_in_place(text.data());
    EXPECT_EQ(text, "COM1 /DEV/TTYUSB0 \xE4\xF6-_Z");
}

TEST(eeprom_file, reads_are_positioned_and_leave_the_length_alone) {
    scratch_directory dir;
    write_file(dir.file("data.bin"), "\x10\x20\x30");
    std::FILE* file = nullptr;
    ASSERT_EQ(open_eeprom_file(dir.file("data.bin").c_str(), file), eeprom_file_status::opened);
    EXPECT_EQ(read_byte_at(file, 2), 0x30);
    EXPECT_EQ(read_byte_at(file, 0), 0x10);
    const long position = std::ftell(file);
    EXPECT_EQ(file_length(file), 3);
    EXPECT_EQ(std::ftell(file), position);
    EXPECT_EQ(read_byte_at(file, 3), byte_past_end);
    // The length is measured anew each time.
    write_file(dir.file("data.bin"), "\x10\x20\x30\x40\x50");
    EXPECT_EQ(file_length(file), 5);
    EXPECT_EQ(read_byte_at(file, 4), 0x50);
    std::fclose(file);

    // A stream open for writing only fails every read.
    std::FILE* write_only = std::fopen(dir.file("data.bin").c_str(), "ab");
    ASSERT_NE(write_only, nullptr);
    EXPECT_EQ(read_byte_at(write_only, 0), byte_unreadable);
    std::fclose(write_only);
}

TEST(eeprom_file, only_what_has_a_length_is_opened_and_nothing_waits) {
    scratch_directory dir;
    write_file(dir.file("empty.bin"), "");
    mkdir(dir.file("a-directory").c_str(), 0700);
    // Nobody writes to this FIFO: an open that waited for a writer would hang the test.
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    const struct {
        std::string path;
        eeprom_file_status status;
    } cases[] = {
        {dir.file("empty.bin"), eeprom_file_status::opened},
        {dir.file("missing.bin"), eeprom_file_status::not_found},
        {dir.file("a-directory"), eeprom_file_status::not_found},
        {dir.file("pipe"), eeprom_file_status::no_length},
        {"/dev/zero", eeprom_file_status::no_length},
        {"/dev/null", eeprom_file_status::no_length},
    };
    for (const auto& c : cases) {
        std::FILE* file = nullptr;
        EXPECT_EQ(open_eeprom_file(c.path.c_str(), file), c.status) << c.path;
        EXPECT_EQ(file != nullptr, c.status == eeprom_file_status::opened) << c.path;
        if (file != nullptr) {
            std::fclose(file);
        }
    }
}

}  // namespace
