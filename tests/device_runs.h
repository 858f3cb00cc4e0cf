// Runs of a build of the tool (this system's, or the Windows .exe under Wine) against the
// simulator, and the checks of such a run against the model in tests/expectations.h: shared by
// the end-to-end, Wine and soak tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/expectations.h"
#include "tests/process_helpers.h"

extern const std::string tool;  // the eeprom-writer of this build tree
extern const std::string sim;   // quillbox-sim

// A build of the tool, and how the tests start it.
struct tool_build {
    std::vector<std::string> command;  // what starts it; its arguments follow
    // The name by which the build reaches the device's port, a pseudo-terminal; it may make the
    // port reachable first.
    std::function<std::string(const std::string& device_port)> port_name;
    // The name by which the build reaches a file of this system.
    std::function<std::string(const std::string& path)> file_name;
    bool text_mode = false;  // its standard output writes each "\n" as "\r\n"
};

// The tool of this build tree, run as it is.
extern const tool_build native_build;
// Arguments that are a whole command line, which runs the tool itself (under flock or sh, say).
extern const tool_build command_line;

// Whether the tool is to send the device data. Only then is the device sure to see the port open
// and to account for the transfer, so only then is its account awaited.
enum class sent { nothing, data };

// What a run gave.
struct device_run {
    run_result tool;         // stdout (what reached the screen, when it went to one), the
                             // tool's stderr, its status and how long it ran
    std::string device_log;  // the simulator's stderr
    std::string image;       // the EEPROM afterwards
};

// A simulator serving on a pseudo-terminal, and a run of the tool on it, for tests that act
// while the run goes on.
struct device_session {
    serving_process device;  // device.port is the pseudo-terminal the tool opens
    std::string image_path;
    spawned_process tool;
    std::string tool_err_path;

    device_session() = default;
    // Takes the other's processes over; it then has none.
    device_session(device_session&& other) noexcept;
    device_session& operator=(device_session&& other) noexcept;
    device_session(const device_session&) = delete;
    device_session& operator=(const device_session&) = delete;
    // Kills what a test that stopped early (a failed ASSERT) left running, so that no simulator
    // serves on after it.
    ~device_session();
};

device_session start_device(const scratch_directory& dir,
                            const std::vector<std::string>& sim_options = {});

// Starts `build` with `args` on the device; "{}" in them stands for the port. Standard output
// goes to `stdout_fd` when one is given, to a pipe otherwise.
void start_tool(device_session& session, const tool_build& build,
                const std::vector<std::string>& args, int stdout_fd = -1);

// Waits for the tool, killing it after `limit_seconds`; with sent::data, then for the device's
// account of the transfer. Stops the device, which saves its image.
device_run finish_run(device_session& session, sent what, double limit_seconds = 60);

// start_device, start_tool and finish_run in one.
device_run run_on_device(const scratch_directory& dir, const tool_build& build,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& sim_options = {}, sent what = sent::data);

// Runs `build` with `args` and no device.
run_result run_alone(const scratch_directory& dir, const tool_build& build,
                     const std::vector<std::string>& args);

// What `build` prints for `expected`: in text mode, when the build writes in it.
expected_run as_printed_by(const tool_build& build, const expected_run& expected);

// Checks standard output and status.
void expect_output(const run_result& result, const expected_run& expected,
                   const std::string& context);

// Checks a run against what it must give: standard output, status, the first `expected.sent`
// bytes of `data` stored and nothing else, no complaint from the device about the line settings
// and, when data flowed, the device's account of the transfer.
void expect_run(const device_run& run, const expected_run& expected, const std::string& data,
                const std::string& context);

// Writes the case's file, runs `build` on it against the simulator and checks the run.
void check_case(const tool_build& build, const device_case& c);

// Too few arguments: `build`, started as `invocation`, prints its usage text and ends with
// status 0; given a device's port alone, it sends the device nothing.
void check_usage(const scratch_directory& dir, const tool_build& build,
                 const std::string& invocation);

// An EEPROM file that cannot be opened (missing, a folder) ends the run before any byte is sent.
void check_files_that_cannot_be_opened(const tool_build& build);

// Whether every test that can run here has to (CI=true): a skip is then a failure.
bool every_test_must_run();

// Why `program`, a command of util-linux (flock, setpriv, losetup), cannot be run here, or empty.
// Linux has them, macOS has not. On Linux under CI=true, where every test has to run, a missing
// one is also a failure, so that the skip that follows cannot pass unseen.
std::string missing_util_linux_command(const std::string& program);
