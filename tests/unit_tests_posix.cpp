// The POSIX procedures with logic of their own: the case-insensitive port-name lookup and what
// kinds of file open as an EEPROM file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/eeprom_file.h"
#include "app/run_sequence.h"
#include "link/port_name.h"
#include "tests/port_name_cases.h"
#include "tests/process_helpers.h"

namespace {

TEST(port_name, upper_cased_paths_find_their_entry_again) {
    scratch_directory dir;
    mkdir(dir.file("Serial").c_str(), 0700);
    write_file(dir.file("Serial/ttyUSB0"), "");

    std::string upper = dir.path;
    upper_case_in_place(upper.data());
    expect_port_names({
        {upper + "/SERIAL/TTYUSB0", dir.file("Serial/ttyUSB0")},
        {upper + "//SERIAL/./TTYUSB0", dir.file("Serial/./ttyUSB0")},
        {upper + "/SERIAL/../SERIAL/TTYUSB0", dir.file("Serial/../Serial/ttyUSB0")},
        {upper + "/SERIAL/TTYUSB1", ""},  // none answers
        {"NULL", "/dev/null"},            // a bare name is looked up in /dev
        {"/DEV/NULL", "/dev/null"},
        {"", ""},
    });
}

TEST(port_name, two_entries_that_differ_in_case_only_are_refused) {
    scratch_directory dir;
    write_file(dir.file("twin"), "");
    // On a file system that ignores case (macOS by default) the second name is the first file
    // again, and no directory can hold the pair.
    struct stat status {};
    if (stat(dir.file("TWIN").c_str(), &status) == 0) {
        GTEST_SKIP() << "this file system ignores case: twin and TWIN are one file";
    }
    write_file(dir.file("TWIN"), "");
    write_file(dir.file("single"), "");

    std::string upper = dir.path;
    upper_case_in_place(upper.data());
    EXPECT_EQ(resolve_port_name(upper + "/TWIN"), "");  // two entries answer: no guessing
    EXPECT_EQ(resolve_port_name(upper + "/SINGLE"), dir.file("single"));
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
