// The Windows build of eeprom-writer under Wine against quillbox-sim: exact stdout bytes, exit
// status, and the bytes the device stored. Standard output of the .exe is in text mode, so every
// "\n" the tool prints reaches the pipe as "\r\n" ("\r\n" as "\r\r\n").
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/expectations.h"
#include "tests/process_helpers.h"

namespace {

const std::string tool = EEPROM_WRITER_EXE_PATH;
const std::string sim = QUILLBOX_SIM_PATH;
const std::string wine = WINE_PATH;
const std::string wineserver = WINESERVER_PATH;

const std::string banner =
    "EEPROM-Writer for Quillbox\t2011-07-02\r\r\n"
    "This tool writes a file to the external EEPROM of the Quillbox\r\r\n\r\r\n";
const std::string open_failure = "Failed to open specified serial port.\r\r\n";
const std::string not_found = "EEPROM-file not found.\r\n";
const std::string implausible =
    "Error: Implausible answer from Quillbox. Writing the EEPROM failed.\r\r\n";
const std::string no_answer = "Error: No answer from Quillbox. Writing the EEPROM failed.\r\r\n";

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
        ASSERT_EQ(run_process({"sh", "-c", R"(exec "$0" "$1" >/dev/null 2>&1)", wine, tool}).status,
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

// Runs the tool under Wine; its stderr (Wine's, if anything) goes to `log`.
run_result run_tool(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> argv = {wine, tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_logged(argv, log);
}

struct device_run {
    run_result tool;
    std::string device_log;  // the simulator's stderr
    std::string wine_log;
    std::string image;
};

// Serves a simulated Quillbox under the DOS device name `link` (e.g. "com7") while the tool runs
// with `args`. Only a transfer that carried data is sure to be reported: the simulator can miss an
// open and close of the port that are close together. `meddle`, when given, gets the device's
// port before the tool starts, as another program would.
device_run run_on_device(const scratch_directory& dir, const std::string& link,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& sim_options = {}, bool carries_data = true,
                         const std::function<void(const std::string&)>& meddle = {}) {
    std::vector<std::string> argv = {sim, "--image", dir.file("eeprom.img")};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    spawned_process device = spawn_process(argv);
    std::string slave;
    if (!read_until(device.out_fd, slave, "\n", 1, 30)) {
        kill(device.pid, SIGTERM);
        throw std::runtime_error("quillbox-sim named no port: " + finish_process(device).err);
    }
    slave.pop_back();

    const std::filesystem::path port = dosdevices + "/" + link;
    std::filesystem::remove(port);
    std::filesystem::create_symlink(slave, port);
    if (meddle) {
        meddle(slave);
    }
    device_run run;
    run.tool = run_tool(args, dir.file("wine.log"));
    std::filesystem::remove(port);

    // Wine closes the port a moment after the tool has gone; stop the simulator only once it has
    // seen that, so its account of the transfer is complete.
    if (carries_data) {
        read_until(device.err_fd, run.device_log, " data bytes\n", 1, 30);
    }
    kill(device.pid, SIGTERM);
    run.device_log += finish_process(device).err;
    run.wine_log = read_file(dir.file("wine.log"));
    run.image = read_file(dir.file("eeprom.img"));
    return run;
}

TEST(usage, too_few_arguments_print_the_usage) {
    // Wine hands the program its own name as a DOS path.
    const std::string name = dos_path(tool);
    const std::string usage =
        "For more information visit: https://quillbox.example.org/eeprom-writer\r\r\n\r\r\n"
        "Usage: " +
        name +
        " <port> <file>\r\r\n"
        "Example: " +
        name + " COM1 eeprom.bin\r\r\n\r\r\n";
    scratch_directory dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"COM7"}}) {
        const run_result result = run_tool(args, dir.file("wine.log"));
        EXPECT_EQ(result.out, banner + usage) << args.size() << " arguments";
        EXPECT_EQ(result.status, 0) << args.size() << " arguments";
    }
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
        const std::filesystem::path port = dosdevices + "/" + c.link;
        if (!c.target.empty()) {
            std::filesystem::create_symlink(c.target, port);
        }
        // The EEPROM file does not exist either: only the port message may appear.
        const run_result result =
            run_tool({c.port, dos_path(dir.file("missing.bin"))}, dir.file("wine.log"));
        std::filesystem::remove(port);
        EXPECT_EQ(result.out, banner + open_failure) << c.port;
        EXPECT_EQ(result.status, 1) << c.port;
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
        const device_run run = run_on_device(dir, c.link, {c.port, dos_path(dir.file("data.bin"))});
        EXPECT_EQ(run.tool.out, banner + progress_lines(data.size()))
            << c.port << ": " << run.wine_log;
        EXPECT_EQ(run.tool.status, 0) << c.port;
        EXPECT_EQ(run.image, image_after(data)) << c.port;
    }
}

TEST(eeprom_file, a_file_that_cannot_be_read_ends_with_status_1_and_sends_nothing) {
    scratch_directory dir;
    std::filesystem::create_directory(dir.file("a-directory"));
    for (const std::string& path : {dir.file("missing.bin"), dir.file("a-directory")}) {
        const device_run run = run_on_device(dir, "com7", {"COM7", dos_path(path)}, {}, false);
        EXPECT_EQ(run.tool.out, banner + not_found) << path;
        EXPECT_EQ(run.tool.status, 1) << path;
        // The device stores every byte it receives: an erased image means none was sent.
        EXPECT_EQ(run.image, image_after("")) << path;
    }
}

TEST(eeprom_file, a_device_as_the_file_is_refused_and_sends_nothing) {
    scratch_directory dir;
    // NUL opens and reads as empty, yet it is no file: it must not pass for an empty one.
    const device_run run = run_on_device(dir, "com7", {"COM7", "NUL"}, {}, false);
    EXPECT_EQ(run.tool.out, banner + "Error: Reading the EEPROM-file failed.\r\r\n")
        << run.wine_log;
    EXPECT_EQ(run.tool.status, 1);
    EXPECT_EQ(run.image, image_after(""));
}

TEST(writing, every_byte_is_confirmed_and_stored) {
    const std::string every_value = every_byte_value();
    struct {
        const char* name;
        std::string data;
        std::vector<std::string> sim_options;
    } const cases[] = {
        {"empty", "", {}},
        {"every byte value", every_value, {}},
        // Well within the tool's deadline of answer_timeout_ms for each answer.
        {"a device that takes half a second to answer",
         pseudo_random_bytes(3, 8),
         {"--latency-us", "500000"}},
        {"an extra byte after the last frame",
         pseudo_random_bytes(8, 4),
         {"--fault", "extra-byte@7"}},
    };
    for (const auto& c : cases) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), c.data);
        const bool carries_data = !c.data.empty();
        const device_run run = run_on_device(dir, "com7", {"COM7", dos_path(dir.file("data.bin"))},
                                             c.sim_options, carries_data);
        EXPECT_EQ(run.tool.out, banner + progress_lines(c.data.size()))
            << c.name << ": " << run.wine_log;
        EXPECT_EQ(run.tool.status, 0) << c.name;
        EXPECT_EQ(run.image, image_after(c.data)) << c.name;
        if (carries_data) {
            EXPECT_NE(run.device_log.find(device_report("port closed", c.data.size())),
                      std::string::npos)
                << c.name << ": " << run.device_log;
        }
    }
}

TEST(faults, a_wrong_or_missing_answer_ends_the_run_and_nothing_is_sent_after_it) {
    const std::string data = pseudo_random_bytes(16, 3);
    struct {
        const char* fault;
        std::size_t confirmed;  // progress lines printed
        std::size_t sent;       // data bytes the device received
        const std::string* message;
        const char* device_end;
    } const cases[] = {
        {"echo@5", 5, 6, &implausible, "port closed"},
        {"address@0", 0, 1, &implausible, "port closed"},
        {"msb-first@1", 1, 2, &implausible, "port closed"},
        // The extra byte opens the next frame, which then carries a wrong address.
        {"extra-byte@4", 5, 6, &implausible, "port closed"},
        // Ends after the tool's deadline, not never.
        {"silence@3", 3, 4, &no_answer, "port closed"},
        {"hangup@2", 2, 3, &no_answer, "hung up"},
    };
    for (const auto& c : cases) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), data);
        const device_run run = run_on_device(dir, "com7", {"COM7", dos_path(dir.file("data.bin"))},
                                             {"--fault", c.fault});
        EXPECT_EQ(run.tool.out, banner + progress_lines(c.confirmed) + *c.message)
            << c.fault << ": " << run.wine_log;
        EXPECT_EQ(run.tool.status, 1) << c.fault;
        EXPECT_EQ(run.image, image_after(data.substr(0, c.sent))) << c.fault;
        EXPECT_NE(run.device_log.find(device_report(c.device_end, c.sent)), std::string::npos)
            << c.fault << ": " << run.device_log;
    }
}

TEST(faults, output_that_never_leaves_ends_the_run_like_a_missing_answer) {
    // Another program stops the port's output, as CTS held low would: a write without a bound
    // would never return.
    const auto stop_output = [](const std::string& slave) {
        const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(tcflow(fd, TCOOFF), 0);
        close(fd);
    };
    scratch_directory dir;
    write_file(dir.file("data.bin"), pseudo_random_bytes(16, 14));
    const device_run run = run_on_device(dir, "com7", {"COM7", dos_path(dir.file("data.bin"))}, {},
                                         false, stop_output);
    EXPECT_EQ(run.tool.out, banner + no_answer) << run.wine_log;
    EXPECT_EQ(run.tool.status, 1);
    // The device stores every byte it receives: an erased image means none got through.
    EXPECT_EQ(run.image, image_after(""));
}

}  // namespace
