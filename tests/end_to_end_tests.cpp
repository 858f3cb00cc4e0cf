// The real eeprom-writer against quillbox-sim over a pseudo-terminal: exact stdout bytes, exit
// status, and the bytes the device stored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/device_runs.h"
#include "tests/progress_figures.h"

namespace {

// Every expected progress line comes from the rule in tests/expectations.h; these figures pin
// the rule itself.
TEST(expectations, progress_lines_carry_the_figures_of_the_rule) {
    for (const progress_figure& f : progress_figures) {
        EXPECT_EQ(progress_line(static_cast<std::size_t>(f.address)), f.line) << f.address;
    }
}

TEST(usage, too_few_arguments_print_the_usage_and_touch_nothing) {
    scratch_directory dir;
    check_usage(dir, native_build, tool);
}

TEST(usage, arguments_after_the_file_are_ignored) {
    scratch_directory dir;
    const std::string data = "\x01\x02\x03";
    write_file(dir.file("data.bin"), data);
    const device_run run =
        run_on_device(dir, native_build, {"{}", dir.file("data.bin"), "extra", "more"});
    expect_run(run, written(data.size()), data, "");
}

TEST(ports, a_port_that_cannot_be_opened_ends_before_the_file_is_looked_at) {
    scratch_directory dir;
    write_file(dir.file("ordinary"), "not a port");
    mkdir(dir.file("a-directory").c_str(), 0700);
    // The EEPROM file does not exist either: only the port message may appear.
    for (const std::string& port :
         {std::string("/dev/no-such-port"), dir.file("ordinary"), std::string("/dev/null"),
          dir.file("a-directory"), std::string("")}) {
        expect_output(run_alone(dir, native_build, {port, dir.file("missing.bin")}),
                      failed_before_any_byte(open_failure), port);
    }
}

TEST(ports, a_port_held_by_another_program_is_refused) {
    if (const std::string why = missing_util_linux_command("flock"); !why.empty()) {
        GTEST_SKIP() << why;
    }
    scratch_directory dir;
    write_file(dir.file("data.bin"), "abc");
    // flock(1) holds the port locked while the tool tries it.
    const device_run run = run_on_device(
        dir, command_line, {"flock", "{}", tool, "{}", dir.file("data.bin")}, {}, sent::nothing);
    expect_run(run, failed_before_any_byte(open_failure), "abc", "");
}

TEST(ports, a_path_typed_in_another_case_reaches_its_device) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(64, 7);
    write_file(dir.file("data.bin"), data);
    // The tool upper-cases every port name, so only a case-insensitive lookup finds this link.
    const device_run run = run_on_device(
        dir, command_line,
        {"sh", "-c", R"(ln -s "$1" "$2/Quillbox-Port" && exec "$3" "$2/quillbox-port" "$4")", "sh",
         "{}", dir.path, tool, dir.file("data.bin")});
    expect_run(run, written(data.size()), data, "");
}

TEST(eeprom_file, a_file_that_cannot_be_read_as_one_ends_with_status_1) {
    check_files_that_cannot_be_opened(native_build);
}

TEST(eeprom_file, a_file_the_user_may_not_read_ends_with_status_1) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the port to an unprivileged user";
    }
    if (const std::string why = missing_util_linux_command("setpriv"); !why.empty()) {
        GTEST_SKIP() << why;
    }
    scratch_directory dir;
    write_file(dir.file("data.bin"), "abc");
    chmod(dir.file("data.bin").c_str(), 0);
    // Root reads any file, so the tool runs as nobody, on a port opened up for it.
    const device_run run = run_on_device(
        dir, command_line,
        {"sh", "-c",
         R"(chmod 666 "$1" && exec setpriv --reuid=65534 --regid=65534 --clear-groups "$2" "$1" "$3")",
         "sh", "{}", tool, dir.file("data.bin")},
        {}, sent::nothing);
    expect_run(run, failed_before_any_byte(not_found), "abc", "");
}

TEST(eeprom_file, what_has_no_length_is_refused_before_any_byte_is_sent) {
    scratch_directory dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* name;
        std::vector<std::string> command;
    } cases[] = {
        // Endless, yet its size says 0: it must not pass for an empty file.
        {"/dev/zero", {tool, "{}", "/dev/zero"}},
        {"/dev/urandom", {tool, "{}", "/dev/urandom"}},
        // An open that waited for a writer would never end.
        {"a FIFO without a writer", {tool, "{}", fifo}},
        // The shell holds it open for writing, so it is readable, yet it still has no length.
        {"a FIFO with a writer",
         {"sh", "-c", R"(exec 3<>"$2" && exec "$1" "$3" "$2")", "sh", tool, fifo, "{}"}},
    };
    for (const auto& c : cases) {
        const device_run run = run_on_device(dir, command_line, c.command, {}, sent::nothing);
        // The device stores every byte it receives: an erased image means none was sent.
        expect_run(run, failed_before_any_byte(read_failure), "", c.name);
    }
}

TEST(eeprom_file, a_block_device_is_written_whole) {
    if (const std::string why = missing_util_linux_command("losetup"); !why.empty()) {
        GTEST_SKIP() << why;
    }
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(4096, 15);
    write_file(dir.file("disk.img"), data);
    // fstat gives a block device no size: a tool that trusted it would write nothing and
    // report success.
    run_result attach = run_process({"losetup", "--find", "--show", dir.file("disk.img")});
    if (attach.status != 0) {
        GTEST_SKIP() << "no loop device to be had here: " << attach.err;
    }
    const std::string device = attach.out.substr(0, attach.out.find('\n'));
    const device_run run = run_on_device(dir, native_build, {"{}", device});
    run_process({"losetup", "--detach", device});
    expect_run(run, written(data.size()), data, "");
}

TEST(eeprom_file, a_file_of_2_gib_is_refused_before_any_byte_is_sent) {
    scratch_directory dir;
    const std::string path = dir.file("huge.bin");
    write_file(path, "");
    // Sparse: it takes no room on disk.
    ASSERT_EQ(truncate(path.c_str(), 2147483648), 0) << std::strerror(errno);
    const device_run run = run_on_device(dir, native_build, {"{}", path}, {}, sent::nothing);
    expect_run(run, failed_before_any_byte(too_large), "", "");
}

TEST(writing, every_byte_is_confirmed_and_stored) {
    for (const device_case& c : writing_cases()) {
        check_case(native_build, c);
    }
}

TEST(writing, the_device_notices_a_line_left_cooked) {
    // What makes the check for a clean line in every run worth anything: a client that sets
    // nothing up is caught.
    scratch_directory dir;
    const device_run run =
        run_on_device(dir, command_line,
                      {"sh", "-c", R"(exec 3<>"$1" && printf x >&3 && sleep 0.3)", "sh", "{}"});
    EXPECT_EQ(run.tool.status, 0);
    EXPECT_NE(run.device_log.find("line settings are off: speed 9600"), std::string::npos)
        << run.device_log;
}

TEST(standard_streams, closed_ones_never_carry_text_down_the_line) {
    const std::string data = pseudo_random_bytes(300, 12);
    // The tool started with its standard streams closed: the port must not become one of them.
    for (const char* closing : {">&-", "<&- >&- 2>&-"}) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), data);
        const device_run run =
            run_on_device(dir, command_line,
                          {"sh", "-c", std::string(R"(exec "$1" "$2" "$3" )") + closing, "sh", tool,
                           "{}", dir.file("data.bin")});
        expected_run silent = written(data.size());
        silent.out = "";
        expect_run(run, silent, data, closing);
    }

    // The simulator, running the tool as its command, started with its stderr closed: its
    // pseudo-terminal must not take it, or its own messages would reach the tool as answers.
    scratch_directory dir;
    write_file(dir.file("data.bin"), data);
    const run_result result =
        run_process({"sh", "-c", R"(exec "$@" 2>&-)", "sh", sim, "--image", dir.file("eeprom.img"),
                     "--", tool, "{}", dir.file("data.bin")});
    expect_output(result, written(data.size()), "the simulator's stderr closed");
    EXPECT_EQ(image_difference(read_file(dir.file("eeprom.img")), image_after(data)), "");
}

TEST(faults, a_wrong_answer_ends_the_run_and_nothing_is_sent_after_it) {
    for (const device_case& c : fault_cases()) {
        check_case(native_build, c);
    }
}

// A pseudo-terminal for the tool's stdout, raw so that its bytes arrive as they were written.
struct terminal {
    int master = -1;
    int slave = -1;
};

void check(bool done, const char* what) {
    if (!done) {
        throw std::runtime_error(std::string("a terminal for the tool: ") + what + ": " +
                                 std::strerror(errno));
    }
}

terminal open_terminal() {
    terminal t;
    // Close-on-exec set apart: not every system's posix_openpt takes O_CLOEXEC.
    t.master = posix_openpt(O_RDWR | O_NOCTTY);
    check(t.master >= 0, "posix_openpt");
    check(fcntl(t.master, F_SETFD, FD_CLOEXEC) == 0, "FD_CLOEXEC");
    check(grantpt(t.master) == 0, "grantpt");
    check(unlockpt(t.master) == 0, "unlockpt");
    const char* name = ptsname(t.master);
    check(name != nullptr, "ptsname");
    t.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    check(t.slave >= 0, name);
    termios settings{};
    check(tcgetattr(t.slave, &settings) == 0, "tcgetattr");
    cfmakeraw(&settings);
    check(tcsetattr(t.slave, TCSANOW, &settings) == 0, "tcsetattr");
    return t;
}

// A run with the tool's stdout on a terminal, for what a test watches or does while it goes on.
struct screen_run {
    device_session session;
    terminal screen;
    std::string seen;  // what has reached the screen so far
};

// Writes `file` as the EEPROM file data.bin and starts the tool on it.
// With `opened_before`, another program's descriptor of the port, opened before the tool's open
// makes the port exclusive, goes there.
screen_run start_on_screen(const scratch_directory& dir, const std::string& file,
                           const std::vector<std::string>& sim_options,
                           int* opened_before = nullptr) {
    write_file(dir.file("data.bin"), file);
    screen_run r{start_device(dir, sim_options), open_terminal(), ""};
    if (opened_before != nullptr) {
        *opened_before = open(r.session.device.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    start_tool(r.session, native_build, {"{}", dir.file("data.bin")}, r.screen.slave);
    close(r.screen.slave);
    return r;
}

// True once `text` has reached the screen `times` times.
bool wait_for(screen_run& r, const std::string& text, std::size_t times = 1) {
    return read_until(r.screen.master, r.seen, text, times);
}

// Reads the screen until the tool has gone, so that it never waits for the screen, and ends the
// run: its stdout is all that reached the screen.
device_run finish_on_screen(screen_run& r, sent what, double limit_seconds = 60) {
    read_to_end(r.screen.master, r.seen, limit_seconds);
    device_run run = finish_run(r.session, what, limit_seconds);
    close(r.screen.master);
    run.tool.out = r.seen;
    return run;
}

TEST(terminal, progress_lines_reach_the_screen_while_the_run_goes_on) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(10, 5);
    // The device confirms byte 0, then stays silent: the tool waits the whole answer time-out
    // before it prints anything more. A progress line held in a buffer would come out only at
    // the exit, together with the message that follows it.
    screen_run r = start_on_screen(dir, data, {"--fault", "silence@1"});
    ASSERT_TRUE(wait_for(r, progress_line(0)));
    EXPECT_EQ(r.seen, banner + progress_lines(1)) << "the line should be on the screen alone";

    const device_run run = finish_on_screen(r, sent::data);
    expect_run(run, written(data.size(), {"silence@1"}), data, "");
}

TEST(terminal, a_file_that_grows_or_shrinks_during_the_run_is_followed) {
    struct {
        const char* name;
        std::size_t initial_size;
        std::size_t final_size;
    } const cases[] = {{"grows", 30, 60}, {"shrinks", 60, 30}};
    for (const auto& c : cases) {
        scratch_directory dir;
        const std::string data = pseudo_random_bytes(60, 6);
        screen_run r =
            start_on_screen(dir, data.substr(0, c.initial_size), {"--latency-us", "5000"});

        // At 5 ms a frame the tool is far from byte 30 once it has shown byte 10.
        ASSERT_TRUE(wait_for(r, "Writing to EEPROM", 10)) << c.name;
        // Appended or cut in one step: the file never passes through a shorter length.
        if (c.final_size > c.initial_size) {
            std::FILE* file = std::fopen(dir.file("data.bin").c_str(), "ab");
            std::fwrite(data.data() + c.initial_size, 1, c.final_size - c.initial_size, file);
            std::fclose(file);
        } else {
            ASSERT_EQ(truncate(dir.file("data.bin").c_str(), static_cast<off_t>(c.final_size)), 0);
        }

        const device_run run = finish_on_screen(r, sent::data);
        expect_run(run, written(c.final_size), data, c.name);
    }
}

TEST(reliability, four_writers_on_four_ports_at_once_keep_to_their_own) {
    constexpr int writers = 4;
    scratch_directory dirs[writers];
    std::string data[writers];
    device_session sessions[writers];
    for (int k = 0; k < writers; ++k) {
        data[k] = pseudo_random_bytes(8192 + 512 * static_cast<std::size_t>(k),
                                      100 + static_cast<std::uint32_t>(k));
        write_file(dirs[k].file("data.bin"), data[k]);
        sessions[k] = start_device(dirs[k]);
        start_tool(sessions[k], native_build, {"{}", dirs[k].file("data.bin")});
    }
    for (int k = 0; k < writers; ++k) {
        expect_run(finish_run(sessions[k], sent::data), written(data[k].size()), data[k],
                   "writer " + std::to_string(k));
    }
}

TEST(reliability, a_second_writer_on_a_busy_port_is_refused_and_the_first_goes_on) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(300, 8);
    screen_run r = start_on_screen(dir, data, {"--latency-us", "2000"});

    ASSERT_TRUE(wait_for(r, "Writing to EEPROM", 5));
    expect_output(run_alone(dir, native_build, {r.session.device.port, dir.file("data.bin")}),
                  failed_before_any_byte(open_failure), "the second writer");

    const device_run run = finish_on_screen(r, sent::data);
    expect_run(run, written(data.size()), data, "the first writer");
}

TEST(reliability, an_interrupt_ends_the_run_at_once_and_confirmed_bytes_stay) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(500, 9);
    screen_run r = start_on_screen(dir, data, {"--latency-us", "2000"});

    ASSERT_TRUE(wait_for(r, "Writing to EEPROM", 20));
    kill(r.session.tool.pid, SIGINT);
    const device_run run = finish_on_screen(r, sent::data, 10);

    EXPECT_EQ(run.tool.status, 128 + SIGINT);
    const std::size_t confirmed = count_of(run.tool.out, "Writing to EEPROM");
    EXPECT_LT(confirmed, data.size()) << "the run should have been cut short";
    EXPECT_EQ(run.tool.out, banner + progress_lines(confirmed));
    // The device holds every confirmed byte, and at most the one that was in flight besides.
    const bool in_flight =
        run.device_log.find(device_report("port closed", confirmed + 1)) != std::string::npos;
    EXPECT_TRUE(in_flight ||
                run.device_log.find(device_report("port closed", confirmed)) != std::string::npos)
        << run.device_log;
    EXPECT_EQ(
        image_difference(run.image, image_after(data.substr(0, confirmed + (in_flight ? 1 : 0)))),
        "");
}

// What another program may do to the port while the tool writes. Root opens it despite the
// tool's exclusive hold.
void lower_vmin_to_one(int fd) {
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    settings.c_cc[VMIN] = 1;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

void stop_output(int fd) {
    ASSERT_EQ(tcflow(fd, TCOOFF), 0);
}

// The meddler opened the port before the tool made it exclusive, as a program that was there
// first would have; root could open it later, too.
TEST(meddling, nothing_done_to_the_port_holds_the_tool_past_the_answer_bound) {
    const struct {
        const char* name;
        void (*meddle)(int fd);
        const char* silent_from;  // the device answers no byte from here on; empty: all of them
    } cases[] = {
        // A read that waited for VMIN bytes would wait for ever once the device falls silent.
        {"VMIN lowered to 1, then the device falls silent", lower_vmin_to_one, "100"},
        // A write that waited for stopped output to resume would never return.
        {"output stopped", stop_output, ""},
    };
    for (const auto& c : cases) {
        scratch_directory dir;
        // Long enough that the run is still going when the meddler comes, however busy the host.
        const std::string data = pseudo_random_bytes(3000, 13);
        std::vector<std::string> options = {"--latency-us", "2000"};
        if (*c.silent_from != '\0') {
            options.insert(options.end(), {"--fault", std::string("silence@") + c.silent_from});
        }
        int meddler = -1;
        screen_run r = start_on_screen(dir, data, options, &meddler);
        ASSERT_GE(meddler, 0) << c.name;

        ASSERT_TRUE(wait_for(r, "Writing to EEPROM", 5)) << c.name;
        c.meddle(meddler);
        // The tool still holds the port, so what was done to it stays.
        close(meddler);

        // A hang ends here, killed, with status -1.
        const device_run run = finish_on_screen(r, sent::data, 10);
        const std::size_t confirmed = count_of(run.tool.out, "Writing to EEPROM");
        if (*c.silent_from != '\0') {
            EXPECT_EQ(confirmed, std::stoul(c.silent_from)) << c.name;
        }
        EXPECT_LT(confirmed, data.size()) << c.name;
        // Past the silence the device got the byte it did not answer; stopped output let none
        // through after the last confirmed one.
        const std::size_t sent_bytes = confirmed + (*c.silent_from != '\0' ? 1 : 0);
        expect_run(run,
                   {banner + progress_lines(confirmed) + no_answer, 1, sent_bytes, "port closed"},
                   data, c.name);
    }
}

TEST(meddling, a_pseudo_terminal_master_as_the_port_ends_with_no_answer) {
    if (access("/dev/ptmx", F_OK) != 0) {
        GTEST_SKIP() << "no /dev/ptmx here";
    }
    scratch_directory dir;
    write_file(dir.file("data.bin"), "abc");
    // Typed in lower case, found in /dev; each open of it makes a new master with no device
    // behind it.
    expect_output(run_alone(dir, native_build, {"ptmx", dir.file("data.bin")}),
                  failed_before_any_byte(no_answer), "");
}

// The answer bound is a promise: a device that stays silent, or sends part of a frame, ends the
// run 2 s after the byte it left unanswered, and not much later however loaded the host.
TEST(bounds, a_missing_answer_ends_the_run_at_the_answer_bound) {
    const std::string data = pseudo_random_bytes(10, 21);
    for (const char* fault : {"silence@0", "cut-short@0"}) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), data);
        const device_run run =
            run_on_device(dir, native_build, {"{}", dir.file("data.bin")}, {"--fault", fault});
        expect_run(run, written(data.size(), {fault}), data, fault);
        EXPECT_GE(run.tool.seconds, 1.95) << fault << ": ended before the bound";
        EXPECT_LT(run.tool.seconds, 6.0) << fault << ": ran far past the bound";
    }
}

// Whether process `pid` has not ended yet; leaves an ended one to be waited for.
bool still_running(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

// A failure closes the port itself before the tool ends. To see the close apart from the exit,
// the tool's stdout is a pipe already full: the text it buffered cannot leave, so the tool is
// held at its exit, when stdout is flushed. The device gives its account of the transfer once the
// port is closed, so the account must come while the tool is still held.
TEST(bounds, a_failure_closes_the_port_before_the_tool_ends) {
    const std::string data = pseudo_random_bytes(100, 22);
    for (const char* fault : {"echo@20", "silence@20"}) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), data);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(fcntl(out[0], F_SETFD, FD_CLOEXEC), 0);
        ASSERT_EQ(fcntl(out[1], F_SETFD, FD_CLOEXEC), 0);
        // Filled without blocking, then blocking again: the tool must wait, not fail, to write.
        ASSERT_EQ(fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
        std::string filler;
        const std::string chunk(512, 'x');
        while (write(out[1], chunk.data(), chunk.size()) > 0) {
            filler += chunk;
        }
        ASSERT_EQ(errno, EAGAIN);
        ASSERT_EQ(fcntl(out[1], F_SETFL, 0), 0);

        device_session session = start_device(dir, {"--fault", fault});
        start_tool(session, native_build, {"{}", dir.file("data.bin")}, out[1]);
        close(out[1]);

        // The run reaches its failure within the answer bound and a little more.
        std::string account;
        EXPECT_TRUE(read_until(session.device.process.err_fd, account, " data bytes\n", 1, 10))
            << fault << ": the port was not closed while the tool was held at its exit";
        EXPECT_TRUE(still_running(session.tool.pid)) << fault;

        std::string printed;
        EXPECT_TRUE(read_to_end(out[0], printed, 10)) << fault;
        close(out[0]);
        device_run run = finish_run(session, sent::nothing, 10);
        run.device_log = account + run.device_log;
        ASSERT_EQ(printed.compare(0, filler.size(), filler), 0) << fault;
        run.tool.out = printed.substr(filler.size());
        expect_run(run, written(data.size(), {fault}), data, fault);
    }
}

}  // namespace
