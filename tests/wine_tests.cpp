// The Windows build of eeprom-writer under Wine against quillbox-sim: exact stdout bytes, exit
// status, and the bytes the device stored. Standard output of the .exe is in text mode, so what
// it prints is checked in text mode (in_text_mode in tests/expectations.h).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/device_runs.h"

namespace {

const std::string exe = EEPROM_WRITER_EXE_PATH;
const std::string wine = WINE_PATH;
const std::string wineserver = WINESERVER_PATH;

// Where the prefix keeps its DOS device names; set up once for the whole run.
std::string dosdevices;

// How Wine names a Unix path: the whole file system is drive Z:.
std::string dos_path(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

// Runs `argv` with its stderr appended to `log`. Wine starts its helper processes on demand and
// they inherit that stderr and outlive the program, so a pipe there would never reach its end.
run_result run_logged(const std::vector<std::string>& argv, const std::string& log,
                      double limit_seconds = 60) {
    std::vector<std::string> shell = {"sh", "-c", R"(log=$1; shift; exec "$@" 2>>"$log")", "sh",
                                      log};
    shell.insert(shell.end(), argv.begin(), argv.end());
    return run_process(shell, limit_seconds);
}

// One prefix for the whole run: making one takes seconds and hundreds of megabytes. Its server
// stays up between the tests, so each run of the tool starts in a fraction of a second.
class wine_prefix : public ::testing::Environment {
public:
    void SetUp() override {
        dir = std::make_unique<scratch_directory>();
        const std::string prefix = dir->file("wine");
        const std::string log = dir->file("setup.log");
        setenv("WINEPREFIX", prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        // No download prompts for components a console tool does not need.
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // No window may open, whoever runs the tests.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");

        ASSERT_EQ(run_logged({wine, "wineboot", "-i"}, log, 300).status, 0) << read_file(log);
        ASSERT_EQ(run_logged({wineserver, "-w"}, log, 300).status, 0) << read_file(log);
        // A fresh prefix links com1 to the host's first serial port; only the tests' own links
        // may exist, so that an unlinked name is a missing port.
        dosdevices = prefix + "/dosdevices";
        for (const auto& entry : std::filesystem::directory_iterator(dosdevices)) {
            if (entry.path().filename().string().rfind("com", 0) == 0) {
                std::filesystem::remove(entry.path());
            }
        }
        // When a simulator closes its end, the server (whose controlling terminal the port
        // became) gets SIGHUP and dumps megabytes of its state to stderr: keep that out. It
        // outlasts the gaps between the tests, yet goes by itself if this process is killed.
        ASSERT_EQ(run_process({"sh", "-c", R"(exec "$0" -p60 >/dev/null 2>&1)", wineserver}).status,
                  0);
        // The first program starts Wine's services, which keep its stderr: give them /dev/null.
        ASSERT_EQ(run_process({"sh", "-c", R"(exec "$0" "$1" >/dev/null 2>&1)", wine, exe}).status,
                  0);
    }

    void TearDown() override {
        run_process({"sh", "-c", R"(exec "$0" -k >/dev/null 2>&1)", wineserver});
        dir.reset();
    }

private:
    std::unique_ptr<scratch_directory> dir;
};

[[maybe_unused]] ::testing::Environment* const prefix_environment =
    ::testing::AddGlobalTestEnvironment(new wine_prefix);

// Makes the DOS device `link` (e.g. "com7") name `target`.
void link_device(const std::string& link, const std::string& target) {
    const std::filesystem::path path = dosdevices + "/" + link;
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
}

void unlink_device(const std::string& link) {
    std::filesystem::remove(dosdevices + "/" + link);
}

// The .exe under Wine, which reaches the device as COM7.
const tool_build wine_build{{wine, exe},
                            [](const std::string& device_port) {
                                link_device("com7", device_port);
                                return std::string("COM7");
                            },
                            dos_path,
                            true};

TEST(usage, too_few_arguments_print_the_usage) {
    // Wine hands the program its own name as a DOS path.
    scratch_directory dir;
    check_usage(dir, wine_build, dos_path(exe));
}

TEST(ports, a_name_that_is_no_serial_port_ends_before_the_file_is_looked_at) {
    scratch_directory dir;
    write_file(dir.file("ordinary"), "not a port");
    struct {
        const char* port;
        const char* link;    // its DOS device name
        std::string target;  // what that links to, nothing when empty
    } const cases[] = {
        {"COM5", "com5", ""},
        {"COM6", "com6", dir.file("ordinary")},
        {"COM8", "com8", "/dev/null"},
    };
    for (const auto& c : cases) {
        if (!c.target.empty()) {
            link_device(c.link, c.target);
        }
        // The EEPROM file does not exist either: only the port message may appear.
        const run_result result =
            run_alone(dir, wine_build, {c.port, dos_path(dir.file("missing.bin"))});
        unlink_device(c.link);
        expect_output(result, in_text_mode(failed_before_any_byte(open_failure)), c.port);
    }
}

TEST(ports, every_form_of_a_port_name_reaches_its_device) {
    struct {
        const char* port;  // as typed
        const char* link;  // the DOS device it has to reach
    } const cases[] = {
        {"com7", "com7"},         // upper-cased by the tool
        {"com12", "com12"},       // above COM9 only the device namespace finds it
        {"\\\\.\\COM9", "com9"},  // already in the device namespace
    };
    const std::string data = pseudo_random_bytes(64, 7);
    for (const auto& c : cases) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), data);
        device_session session = start_device(dir);
        link_device(c.link, session.device.port);
        start_tool(session, wine_build, {c.port, dos_path(dir.file("data.bin"))});
        const device_run run = finish_run(session, sent::data);
        unlink_device(c.link);
        expect_run(run, in_text_mode(written(data.size())), data, c.port);
    }
}

TEST(eeprom_file, a_file_that_cannot_be_read_ends_with_status_1_and_sends_nothing) {
    check_files_that_cannot_be_opened(wine_build);
}

TEST(eeprom_file, a_device_as_the_file_is_refused_and_sends_nothing) {
    scratch_directory dir;
    // NUL opens and reads as empty, yet it is no file: it must not pass for an empty one.
    const device_run run = run_on_device(dir, wine_build, {"{}", "NUL"}, {}, sent::nothing);
    expect_run(run, in_text_mode(failed_before_any_byte(read_failure)), "", "NUL");
}

TEST(writing, every_byte_is_confirmed_and_stored) {
    for (const device_case& c : writing_cases()) {
        check_case(wine_build, c);
    }
}

TEST(faults, a_wrong_or_missing_answer_ends_the_run_and_nothing_is_sent_after_it) {
    for (const device_case& c : fault_cases()) {
        check_case(wine_build, c);
    }
}

TEST(faults, output_that_never_leaves_ends_the_run_like_a_missing_answer) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(16, 14);
    write_file(dir.file("data.bin"), data);
    device_session session = start_device(dir);
    // Another program stops the port's output, as CTS held low would: a write without a bound
    // would never return.
    const int fd = open(session.device.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcflow(fd, TCOOFF), 0);
    close(fd);
    start_tool(session, wine_build, {"{}", dos_path(dir.file("data.bin"))});
    const device_run run = finish_run(session, sent::nothing);
    // The device stores every byte it receives: an erased image means none got through.
    expect_run(run, in_text_mode(failed_before_any_byte(no_answer)), data, "");
}

}  // namespace
