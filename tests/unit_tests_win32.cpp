// The Windows procedures with logic of their own: the COM port names that need the device
// namespace, and what kinds of file open as an EEPROM file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/eeprom_file.h"
#include "link/port_name.h"
#include "tests/port_name_cases.h"
#include "tests/scratch_folder.h"

namespace {

TEST(port_name, plain_com_names_and_only_those_get_the_device_prefix) {
    expect_port_names({
        {"COM1", "\\\\.\\COM1"},
        {"COM3", "\\\\.\\COM3"},
        {"COM12", "\\\\.\\COM12"},  // COM10 and above open only this way
        {"COM256", "\\\\.\\COM256"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},  // already in the device namespace
        {"COM", "COM"},                    // no number
        {"COM1A", "COM1A"},
        {"COM-1", "COM-1"},
        {"XCOM1", "XCOM1"},
        {"LPT1", "LPT1"},
        {"C:\\PORTS\\COM1", "C:\\PORTS\\COM1"},
        {"", ""},
    });
}

TEST(eeprom_file, only_a_regular_file_is_opened_with_its_length) {
    scratch_folder dir;
    put_file(dir.file("data.bin"), "\x10\x20\x30");
    put_file(dir.file("empty.bin"), "");
    std::filesystem::create_directory(dir.file("a-directory"));
    const struct {
        std::string path;
        eeprom_file_status status;
        std::int64_t length;
    } cases[] = {
        {dir.file("data.bin"), eeprom_file_status::opened, 3},
        {dir.file("empty.bin"), eeprom_file_status::opened, 0},
        {dir.file("missing.bin"), eeprom_file_status::not_found, -1},
        {dir.file("a-directory"), eeprom_file_status::not_found, -1},
        {"NUL", eeprom_file_status::no_length, -1},  // opens, but nothing ends it
    };
    for (const auto& c : cases) {
        std::FILE* file = nullptr;
        EXPECT_EQ(open_eeprom_file(c.path.c_str(), file), c.status) << c.path;
        EXPECT_EQ(file != nullptr, c.status == eeprom_file_status::opened) << c.path;
        if (file != nullptr) {
            EXPECT_EQ(file_length(file), c.length) << c.path;
            std::fclose(file);
        }
    }
}

}  // namespace
