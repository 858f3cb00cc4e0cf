#include "tests/device_runs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

const std::string tool = EEPROM_WRITER_PATH;
const std::string sim = QUILLBOX_SIM_PATH;

namespace {

std::string same(const std::string& name) {
    return name;
}

// The build's command line for `args`, each "{}" in them replaced by `port`.
std::vector<std::string> command_for(const tool_build& build, const std::vector<std::string>& args,
                                     const std::string& port) {
    std::vector<std::string> argv = build.command;
    for (std::string arg : args) {
        for (auto at = arg.find("{}"); at != std::string::npos;
             at = arg.find("{}", at + port.size())) {
            arg.replace(at, 2, port);
        }
        argv.push_back(arg);
    }
    return argv;
}

// The tool's stderr goes to a file: a program's helpers (Wine's) may outlive it and hold a pipe
// open for ever.
int open_for_stderr(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    return fd;
}

run_result finish_tool(spawned_process& tool_process, const std::string& err_path,
                       double limit_seconds) {
    run_result result = finish_process(tool_process, limit_seconds);
    result.err = read_file(err_path);
    return result;
}

}  // namespace

const tool_build native_build{{tool}, same, same, false};
const tool_build command_line{{}, same, same, false};

namespace {

void end_for_good(spawned_process& process) noexcept {
    if (process.pid > 0) {
        kill(-process.pid, SIGKILL);
        try {
            finish_process(process, 5);
        } catch (const std::exception&) {
            process.pid = -1;  // gone already
        }
    }
}

void take_over(spawned_process& to, spawned_process& from) noexcept {
    to = from;
    from.pid = -1;
    from.out_fd = -1;
    from.err_fd = -1;
}

}  // namespace

device_session::device_session(device_session&& other) noexcept
    : device{{}, std::move(other.device.port)},
      image_path(std::move(other.image_path)),
      tool_err_path(std::move(other.tool_err_path)) {
    take_over(device.process, other.device.process);
    take_over(tool, other.tool);
}

device_session& device_session::operator=(device_session&& other) noexcept {
    if (this != &other) {
        end_for_good(tool);
        end_for_good(device.process);
        device.port = std::move(other.device.port);
        image_path = std::move(other.image_path);
        tool_err_path = std::move(other.tool_err_path);
        take_over(device.process, other.device.process);
        take_over(tool, other.tool);
    }
    return *this;
}

device_session::~device_session() {
    end_for_good(tool);
    end_for_good(device.process);
}

device_session start_device(const scratch_directory& dir,
                            const std::vector<std::string>& sim_options) {
    device_session session;
    session.image_path = dir.file("eeprom.img");
    session.tool_err_path = dir.file("tool.err");
    std::vector<std::string> argv = {sim, "--image", session.image_path};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    session.device = start_serving(argv);
    return session;
}

void start_tool(device_session& session, const tool_build& build,
                const std::vector<std::string>& args, int stdout_fd) {
    const bool names_port = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
        return arg.find("{}") != std::string::npos;
    });
    const std::vector<std::string> argv =
        command_for(build, args, names_port ? build.port_name(session.device.port) : "");
    const int err_fd = open_for_stderr(session.tool_err_path);
    session.tool = spawn_process(argv, stdout_fd, err_fd);
    close(err_fd);
}

device_run finish_run(device_session& session, sent what, double limit_seconds) {
    device_run run;
    run.tool = finish_tool(session.tool, session.tool_err_path, limit_seconds);
    // The device notices the close a moment after it happens, and some builds (Wine's) close the
    // port a moment after they have gone: its account is complete only once it has given it.
    if (what == sent::data) {
        read_until(session.device.process.err_fd, run.device_log, " data bytes\n", 1, 30);
    }
    kill(session.device.process.pid, SIGTERM);
    run.device_log += finish_process(session.device.process, 10).err;
    run.image = read_file(session.image_path);
    return run;
}

device_run run_on_device(const scratch_directory& dir, const tool_build& build,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& sim_options, sent what) {
    device_session session = start_device(dir, sim_options);
    start_tool(session, build, args);
    return finish_run(session, what);
}

run_result run_alone(const scratch_directory& dir, const tool_build& build,
                     const std::vector<std::string>& args) {
    const std::string err_path = dir.file("alone.err");
    const int err_fd = open_for_stderr(err_path);
    spawned_process process = spawn_process(command_for(build, args, "{}"), -1, err_fd);
    close(err_fd);
    return finish_tool(process, err_path, 60);
}

expected_run as_printed_by(const tool_build& build, const expected_run& expected) {
    return build.text_mode ? in_text_mode(expected) : expected;
}

void expect_output(const run_result& result, const expected_run& expected,
                   const std::string& context) {
    EXPECT_EQ(result.out, expected.out) << context << "; the tool's stderr: " << result.err;
    EXPECT_EQ(result.status, expected.status) << context;
}

void expect_run(const device_run& run, const expected_run& expected, const std::string& data,
                const std::string& context) {
    expect_output(run.tool, expected, context);
    EXPECT_EQ(image_difference(run.image, image_after(data.substr(0, expected.sent))), "")
        << context;
    EXPECT_EQ(run.device_log.find("line settings are off"), std::string::npos)
        << context << ": " << run.device_log;
    // A run that sends nothing may open and close the port before the device looks.
    if (expected.sent > 0) {
        EXPECT_NE(run.device_log.find(device_report(expected.device_end, expected.sent)),
                  std::string::npos)
            << context << ": " << run.device_log;
    }
}

void check_case(const tool_build& build, const device_case& c) {
    scratch_directory dir;
    write_file(dir.file("data.bin"), c.data);
    const device_run run =
        run_on_device(dir, build, {"{}", build.file_name(dir.file("data.bin"))}, c.sim_options,
                      c.expected.sent > 0 ? sent::data : sent::nothing);
    expect_run(run, as_printed_by(build, c.expected), c.data, c.name);
}

void check_usage(const scratch_directory& dir, const tool_build& build,
                 const std::string& invocation) {
    const expected_run usage = as_printed_by(build, {banner + usage_text(invocation), 0, 0, ""});
    const run_result alone = run_alone(dir, build, {});
    expect_output(alone, usage, "no arguments");
    EXPECT_EQ(alone.err, "") << "no arguments";

    const device_run with_port = run_on_device(dir, build, {"{}"}, {}, sent::nothing);
    expect_run(with_port, usage, "", "the port alone");
    EXPECT_EQ(with_port.tool.err, "") << "the port alone";
}

void check_files_that_cannot_be_opened(const tool_build& build) {
    scratch_directory dir;
    std::filesystem::create_directory(dir.file("a-directory"));
    for (const std::string& path : {dir.file("missing.bin"), dir.file("a-directory")}) {
        const device_run run =
            run_on_device(dir, build, {"{}", build.file_name(path)}, {}, sent::nothing);
        expect_run(run, as_printed_by(build, failed_before_any_byte(not_found)), "", path);
    }
}

bool every_test_must_run() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::string missing_util_linux_command(const std::string& program) {
    if (run_process({"sh", "-c", R"(command -v "$1" >/dev/null)", "sh", program}).status == 0) {
        return "";
    }
    const std::string why = program + " (util-linux) is not installed here";
    if (SYSTEM_IS_LINUX && every_test_must_run()) {
        ADD_FAILURE() << "CI is \"true\": on Linux this test has to run, but " << why;
    }
    return why;
}
