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

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/device_runs.h"

namespace {

void expect_clean_line(const run_result& result) {
    EXPECT_EQ(result.err.find("line settings are off"), std::string::npos) << result.err;
}

// Every expected progress line comes from the rule in tests/expectations.h; these figures pin
// the rule itself.
TEST(expectations, progress_lines_carry_the_figures_of_the_rule) {
    const struct {
        std::size_t address;
        const char* figure;
    } figures[] = {
        {0, "000.000"},      {1, "000.001"},      {65535, "050.000"},
        {131071, "100.000"}, {131072, "100.001"}, {1310710, "1000.000"},
    };
    for (const auto& f : figures) {
        EXPECT_EQ(progress_line(f.address), std::string("Writing to EEPROM... ") + f.figure + "%\r")
            << f.address;
    }
}

TEST(usage, too_few_arguments_print_the_usage_and_touch_nothing) {
    const std::string usage =
        "For more information visit: https://quillbox.example.org/eeprom-writer\r\n\r\n"
        "Usage: " +
        tool +
        " <port> <file>\r\n"
        "Example: " +
        tool + " COM1 eeprom.bin\r\n\r\n";
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{tool}, std::vector<std::string>{tool, "/dev/ttyS0"}}) {
        const run_result result = run_process(argv);
        EXPECT_EQ(result.out, banner + usage);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
    }
}

TEST(usage, arguments_after_the_file_are_ignored) {
    scratch_directory dir;
    const std::string data = "\x01\x02\x03";
    write_file(dir.file("data.bin"), data);
    const device_run run = run_on_device(dir, {tool, "{}", dir.file("data.bin"), "extra", "more"});
    EXPECT_EQ(run.result.out, banner + progress_lines(3));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(image_difference(run.image, image_after(data)), "");
}

TEST(ports, a_port_that_cannot_be_opened_ends_before_the_file_is_looked_at) {
    scratch_directory dir;
    write_file(dir.file("ordinary"), "not a port");
    mkdir(dir.file("a-directory").c_str(), 0700);
    // The EEPROM file does not exist either: only the port message may appear.
    for (const std::string& port :
         {std::string("/dev/no-such-port"), dir.file("ordinary"), std::string("/dev/null"),
          dir.file("a-directory"), std::string("")}) {
        const run_result result = run_process({tool, port, dir.file("missing.bin")});
        EXPECT_EQ(result.out, banner + open_failure) << port;
        EXPECT_EQ(result.status, 1) << port;
    }
}

TEST(ports, a_port_held_by_another_program_is_refused) {
    scratch_directory dir;
    write_file(dir.file("data.bin"), "abc");
    // flock(1) holds the port locked while the tool tries it.
    const device_run run = run_on_device(dir, {"flock", "{}", tool, "{}", dir.file("data.bin")});
    EXPECT_EQ(run.result.out, banner + open_failure);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(image_difference(run.image, image_after("")), "");
}

TEST(ports, a_path_typed_in_another_case_reaches_its_device) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(64, 7);
    write_file(dir.file("data.bin"), data);
    // The tool upper-cases every port name, so only a case-insensitive lookup finds this link.
    const device_run run = run_on_device(
        dir, {"sh", "-c", R"(ln -s "$1" "$2/Quillbox-Port" && exec "$3" "$2/quillbox-port" "$4")",
              "sh", "{}", dir.path, tool, dir.file("data.bin")});
    EXPECT_EQ(run.result.out, banner + progress_lines(data.size()));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(image_difference(run.image, image_after(data)), "");
}

TEST(eeprom_file, a_file_that_cannot_be_read_as_one_ends_with_status_1) {
    scratch_directory dir;
    mkdir(dir.file("a-directory").c_str(), 0700);
    for (const std::string& path : {dir.file("missing.bin"), dir.file("a-directory")}) {
        const device_run run = run_on_device(dir, {tool, "{}", path});
        EXPECT_EQ(run.result.out, banner + not_found) << path;
        EXPECT_EQ(run.result.status, 1) << path;
        EXPECT_EQ(image_difference(run.image, image_after("")), "") << path;
    }
}

TEST(eeprom_file, a_file_the_user_may_not_read_ends_with_status_1) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the port to an unprivileged user";
    }
    scratch_directory dir;
    write_file(dir.file("data.bin"), "abc");
    chmod(dir.file("data.bin").c_str(), 0);
    // Root reads any file, so the tool runs as nobody, on a port opened up for it.
    const device_run run = run_on_device(
        dir,
        {"sh", "-c",
         R"(chmod 666 "$1" && exec setpriv --reuid=65534 --regid=65534 --clear-groups "$2" "$1" "$3")",
         "sh", "{}", tool, dir.file("data.bin")});
    EXPECT_EQ(run.result.out, banner + not_found);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(image_difference(run.image, image_after("")), "");
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
        const device_run run = run_on_device(dir, c.command);
        EXPECT_EQ(run.result.out, banner + "Error: Reading the EEPROM-file failed.\r\n") << c.name;
        EXPECT_EQ(run.result.status, 1) << c.name;
        // The device stores every byte it receives: an erased image means none was sent.
        EXPECT_EQ(image_difference(run.image, image_after("")), "") << c.name;
    }
}

TEST(eeprom_file, a_block_device_is_written_whole) {
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
    const device_run run = run_on_device(dir, {tool, "{}", device});
    run_process({"losetup", "--detach", device});
    EXPECT_EQ(run.result.out, banner + progress_lines(data.size()));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(image_difference(run.image, image_after(data)), "");
}

TEST(eeprom_file, a_file_of_2_gib_is_refused_before_any_byte_is_sent) {
    scratch_directory dir;
    const std::string path = dir.file("huge.bin");
    ASSERT_EQ(run_process({"truncate", "-s", "2147483648", path}).status, 0);
    const device_run run = run_on_device(dir, {tool, "{}", path});
    EXPECT_EQ(run.result.out, banner + "Error: EEPROM-file too large.\r\n");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(image_difference(run.image, image_after("")), "");
}

TEST(writing, every_byte_is_confirmed_and_stored) {
    const std::string every_value = every_byte_value();
    struct {
        const char* name;
        std::string data;
    } const cases[] = {
        {"empty", ""},
        {"one byte", "\x5A"},
        {"every byte value, up and down",
         every_value + std::string(every_value.rbegin(), every_value.rend())},
        {"exactly the EEPROM", pseudo_random_bytes(image_size, 1)},
        {"one byte more than the EEPROM", pseudo_random_bytes(image_size + 1, 2)},
    };
    for (const auto& c : cases) {
        scratch_directory dir;
        const device_run run = write_to_device(dir, c.data);
        EXPECT_EQ(run.result.out, banner + progress_lines(c.data.size())) << c.name;
        EXPECT_EQ(run.result.status, 0) << c.name;
        EXPECT_EQ(image_difference(run.image, image_after(c.data)), "") << c.name;
        expect_clean_line(run.result);
    }
}

TEST(writing, the_device_notices_a_line_left_cooked) {
    // What makes the clean-line check above worth anything: a client that sets nothing up is
    // caught.
    scratch_directory dir;
    const device_run run = run_on_device(
        dir, {"sh", "-c", R"(exec 3<>"$1" && printf x >&3 && sleep 0.3)", "sh", "{}"});
    EXPECT_EQ(run.result.status, 0);
    EXPECT_NE(run.result.err.find("line settings are off: speed 9600"), std::string::npos)
        << run.result.err;
}

TEST(standard_streams, closed_ones_never_carry_text_down_the_line) {
    const std::string data = pseudo_random_bytes(300, 12);
    // The tool started with its standard streams closed: the port must not become one of them.
    for (const char* closing : {">&-", "<&- >&- 2>&-"}) {
        scratch_directory dir;
        write_file(dir.file("data.bin"), data);
        const device_run run =
            run_on_device(dir, {"sh", "-c", std::string(R"(exec "$1" "$2" "$3" )") + closing, "sh",
                                tool, "{}", dir.file("data.bin")});
        EXPECT_EQ(run.result.out, "") << closing;
        EXPECT_EQ(run.result.status, 0) << closing;
        EXPECT_EQ(image_difference(run.image, image_after(data)), "") << closing;
        EXPECT_NE(run.result.err.find(device_report("port closed", data.size())), std::string::npos)
            << closing << ": " << run.result.err;
    }

    // The simulator started with its stderr closed: its pseudo-terminal must not take it, or
    // its own messages would reach the tool as answers.
    scratch_directory dir;
    write_file(dir.file("data.bin"), data);
    const run_result result =
        run_process({"sh", "-c", R"(exec "$@" 2>&-)", "sh", sim, "--image", dir.file("eeprom.img"),
                     "--", tool, "{}", dir.file("data.bin")});
    EXPECT_EQ(result.out, banner + progress_lines(data.size()));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(image_difference(read_file(dir.file("eeprom.img")), image_after(data)), "");
}

TEST(faults, a_wrong_answer_ends_the_run_and_nothing_is_sent_after_it) {
    const std::string data = pseudo_random_bytes(16, 3);
    struct {
        std::vector<std::string> faults;
        std::size_t confirmed;  // progress lines printed
        std::size_t sent;       // data bytes the device received
        const std::string* message;
    } const cases[] = {
        {{"echo@5"}, 5, 6, &implausible},
        {{"address@0"}, 0, 1, &implausible},
        {{"msb-first@1"}, 1, 2, &implausible},
        // The extra byte opens the next frame, which then carries a wrong address.
        {{"extra-byte@4"}, 5, 6, &implausible},
        {{"silence@3"}, 3, 4, &no_answer},
        {{"hangup@2"}, 2, 3, &no_answer},
        // Part of a frame is no frame, whether the device then stays or drops the line.
        {{"cut-short@3"}, 3, 4, &no_answer},
        {{"cut-short@2", "hangup@2"}, 2, 3, &no_answer},
    };
    for (const auto& c : cases) {
        std::string name;
        std::vector<std::string> options;
        for (const std::string& fault : c.faults) {
            name += fault + " ";
            options.insert(options.end(), {"--fault", fault});
        }
        scratch_directory dir;
        const device_run run = write_to_device(dir, data, options);
        EXPECT_EQ(run.result.out, banner + progress_lines(c.confirmed) + *c.message) << name;
        EXPECT_EQ(run.result.status, 1) << name;
        EXPECT_EQ(image_difference(run.image, image_after(data.substr(0, c.sent))), "") << name;
        const bool hangup = name.find("hangup") != std::string::npos;
        EXPECT_NE(run.result.err.find(device_report(hangup ? "hung up" : "port closed", c.sent)),
                  std::string::npos)
            << name << ": " << run.result.err;
    }
}

TEST(faults, an_extra_byte_after_the_last_frame_harms_nothing) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(8, 4);
    const device_run run = write_to_device(dir, data, {"--fault", "extra-byte@7"});
    EXPECT_EQ(run.result.out, banner + progress_lines(8));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(image_difference(run.image, image_after(data)), "");
}

// A pseudo-terminal for the tool's stdout, raw so that its bytes arrive as they were written.
struct terminal {
    int master = -1;
    int slave = -1;
};

terminal open_terminal() {
    terminal t;
    t.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(t.master);
    unlockpt(t.master);
    t.slave = open(ptsname(t.master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    tcgetattr(t.slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(t.slave, TCSANOW, &settings);
    return t;
}

// Starts the tool on `data_path` with its stdout on a terminal.
spawned_process start_on_terminal(const scratch_directory& dir, const terminal& screen,
                                  const std::string& data_path,
                                  const std::vector<std::string>& sim_options) {
    std::vector<std::string> argv = {sim, "--image", dir.file("eeprom.img")};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.insert(argv.end(), {"--", tool, "{}", data_path});
    spawned_process child = spawn_process(argv, screen.slave);
    close(screen.slave);
    return child;
}

TEST(terminal, progress_lines_reach_the_screen_while_the_run_goes_on) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(10, 5);
    write_file(dir.file("data.bin"), data);
    const terminal screen = open_terminal();
    // The device confirms byte 0, then stays silent: the tool waits the whole answer time-out
    // before it prints anything more. A progress line held in a buffer would come out only at
    // the exit, together with the message that follows it.
    spawned_process child =
        start_on_terminal(dir, screen, dir.file("data.bin"), {"--fault", "silence@1"});

    std::string seen;
    ASSERT_TRUE(read_until(screen.master, seen, "Writing to EEPROM... 000.000%\r", 1));
    EXPECT_EQ(seen, banner + progress_lines(1)) << "the line should be on the screen alone";

    read_until(screen.master, seen, no_answer);
    const run_result result = finish_process(child);
    close(screen.master);
    EXPECT_EQ(seen, banner + progress_lines(1) + no_answer);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(image_difference(read_file(dir.file("eeprom.img")), image_after(data.substr(0, 2))),
              "");
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
        write_file(dir.file("data.bin"), data.substr(0, c.initial_size));
        const terminal screen = open_terminal();
        spawned_process child =
            start_on_terminal(dir, screen, dir.file("data.bin"), {"--latency-us", "5000"});

        // At 5 ms a frame the tool is far from byte 30 once it has shown byte 10.
        std::string seen;
        ASSERT_TRUE(read_until(screen.master, seen, "Writing to EEPROM", 10)) << c.name;
        // Appended or cut in one step: the file never passes through a shorter length.
        if (c.final_size > c.initial_size) {
            std::FILE* file = std::fopen(dir.file("data.bin").c_str(), "ab");
            std::fwrite(data.data() + c.initial_size, 1, c.final_size - c.initial_size, file);
            std::fclose(file);
        } else {
            ASSERT_EQ(truncate(dir.file("data.bin").c_str(), static_cast<off_t>(c.final_size)), 0);
        }

        read_until(screen.master, seen, "Writing to EEPROM", c.final_size + 1);
        const run_result result = finish_process(child);
        close(screen.master);
        EXPECT_EQ(seen, banner + progress_lines(c.final_size)) << c.name;
        EXPECT_EQ(result.status, 0) << c.name;
        EXPECT_EQ(image_difference(read_file(dir.file("eeprom.img")),
                                   image_after(data.substr(0, c.final_size))),
                  "")
            << c.name;
    }
}

}  // namespace

namespace {

// A simulator serving without a command: the test starts writers on its port itself.
struct serving_device {
    spawned_process process;
    std::string port;
};

serving_device start_device(const scratch_directory& dir, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {sim, "--image", dir.file("eeprom.img")};
    argv.insert(argv.end(), options.begin(), options.end());
    serving_device device{spawn_process(argv), ""};
    char c = 0;
    while (read(device.process.out_fd, &c, 1) == 1 && c != '\n') {
        device.port += c;
    }
    return device;
}

// Waits until the simulator has seen the writer close the port, then stops it; it saves its
// image on the way. Returns what it said on stderr.
std::string stop_device(serving_device& device) {
    std::string said;
    for (int waited_ms = 0; said.find("port closed") == std::string::npos && waited_ms < 5000;
         waited_ms += 10) {
        pollfd watch{device.process.err_fd, POLLIN, 0};
        if (poll(&watch, 1, 10) > 0) {
            char buffer[4096];
            const ssize_t count = read(device.process.err_fd, buffer, sizeof buffer);
            if (count <= 0) {
                break;
            }
            said.append(buffer, static_cast<std::size_t>(count));
        }
    }
    kill(device.process.pid, SIGTERM);
    return said + finish_process(device.process, 10).err;
}

// Starts the tool on the device's port with its stdout on `screen`.
spawned_process start_writer(const serving_device& device, const terminal& screen,
                             const std::string& data_path) {
    spawned_process writer = spawn_process({tool, device.port, data_path}, screen.slave);
    close(screen.slave);
    return writer;
}

TEST(reliability, four_writers_on_four_ports_at_once_keep_to_their_own) {
    constexpr int writers = 4;
    scratch_directory dirs[writers];
    std::string data[writers];
    spawned_process runs[writers];
    for (int k = 0; k < writers; ++k) {
        data[k] = pseudo_random_bytes(8192 + 512 * static_cast<std::size_t>(k),
                                      100 + static_cast<std::uint32_t>(k));
        write_file(dirs[k].file("data.bin"), data[k]);
        runs[k] = spawn_process({sim, "--image", dirs[k].file("eeprom.img"), "--", tool, "{}",
                                 dirs[k].file("data.bin")});
    }
    for (int k = 0; k < writers; ++k) {
        const run_result result = finish_process(runs[k]);
        EXPECT_EQ(result.out, banner + progress_lines(data[k].size())) << k;
        EXPECT_EQ(result.status, 0) << k;
        EXPECT_EQ(image_difference(read_file(dirs[k].file("eeprom.img")), image_after(data[k])), "")
            << k;
    }
}

TEST(reliability, a_second_writer_on_a_busy_port_is_refused_and_the_first_goes_on) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(300, 8);
    write_file(dir.file("data.bin"), data);
    serving_device device = start_device(dir, {"--latency-us", "2000"});
    const terminal screen = open_terminal();
    spawned_process first = start_writer(device, screen, dir.file("data.bin"));

    std::string seen;
    ASSERT_TRUE(read_until(screen.master, seen, "Writing to EEPROM", 5));
    const run_result second = run_process({tool, device.port, dir.file("data.bin")});
    EXPECT_EQ(second.out, banner + open_failure);
    EXPECT_EQ(second.status, 1);

    read_until(screen.master, seen, "Writing to EEPROM", data.size() + 1);
    const run_result result = finish_process(first);
    close(screen.master);
    const std::string said = stop_device(device);
    EXPECT_EQ(seen, banner + progress_lines(data.size()));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(image_difference(read_file(dir.file("eeprom.img")), image_after(data)), "");
    EXPECT_NE(said.find(device_report("port closed", data.size())), std::string::npos) << said;
}

TEST(reliability, an_interrupt_ends_the_run_at_once_and_confirmed_bytes_stay) {
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(500, 9);
    write_file(dir.file("data.bin"), data);
    serving_device device = start_device(dir, {"--latency-us", "2000"});
    const terminal screen = open_terminal();
    spawned_process writer = start_writer(device, screen, dir.file("data.bin"));

    std::string seen;
    ASSERT_TRUE(read_until(screen.master, seen, "Writing to EEPROM", 20));
    kill(writer.pid, SIGINT);
    read_until(screen.master, seen, "Writing to EEPROM", data.size() + 1);
    const run_result result = finish_process(writer, 10);
    close(screen.master);
    const std::string said = stop_device(device);

    EXPECT_EQ(result.status, 128 + SIGINT);
    const std::size_t confirmed = count_of(seen, "Writing to EEPROM");
    EXPECT_LT(confirmed, data.size()) << "the run should have been cut short";
    EXPECT_EQ(seen, banner + progress_lines(confirmed));
    // The device holds every confirmed byte, and at most the one that was in flight besides.
    const bool in_flight =
        said.find(device_report("port closed", confirmed + 1)) != std::string::npos;
    EXPECT_TRUE(in_flight ||
                said.find(device_report("port closed", confirmed)) != std::string::npos)
        << said;
    EXPECT_EQ(image_difference(read_file(dir.file("eeprom.img")),
                               image_after(data.substr(0, confirmed + (in_flight ? 1 : 0)))),
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

TEST(meddling, nothing_done_to_the_port_holds_the_tool_past_the_answer_bound) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to open a port that the tool holds exclusively";
    }
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
        write_file(dir.file("data.bin"), data);
        std::vector<std::string> options = {"--latency-us", "2000"};
        if (*c.silent_from != '\0') {
            options.insert(options.end(), {"--fault", std::string("silence@") + c.silent_from});
        }
        serving_device device = start_device(dir, options);
        const terminal screen = open_terminal();
        spawned_process writer = start_writer(device, screen, dir.file("data.bin"));

        std::string seen;
        ASSERT_TRUE(read_until(screen.master, seen, "Writing to EEPROM", 5)) << c.name;
        const int meddler = open(device.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(meddler, 0) << c.name;
        c.meddle(meddler);
        close(meddler);

        read_until(screen.master, seen, no_answer, 1, 10);
        // A hang ends here, killed, with status -1.
        const run_result result = finish_process(writer, 10);
        close(screen.master);
        const std::string said = stop_device(device);

        const std::size_t confirmed = count_of(seen, "Writing to EEPROM");
        if (*c.silent_from != '\0') {
            EXPECT_EQ(confirmed, std::stoul(c.silent_from)) << c.name;
        }
        EXPECT_LT(confirmed, data.size()) << c.name;
        EXPECT_EQ(seen, banner + progress_lines(confirmed) + no_answer) << c.name;
        EXPECT_EQ(result.status, 1) << c.name;
        // Past the silence the device got the byte it did not answer; stopped output let none
        // through after the last confirmed one.
        const std::size_t sent = confirmed + (*c.silent_from != '\0' ? 1 : 0);
        EXPECT_EQ(
            image_difference(read_file(dir.file("eeprom.img")), image_after(data.substr(0, sent))),
            "")
            << c.name;
        EXPECT_NE(said.find(device_report("port closed", sent)), std::string::npos)
            << c.name << ": " << said;
    }
}

TEST(meddling, a_pseudo_terminal_master_as_the_port_ends_with_no_answer) {
    scratch_directory dir;
    write_file(dir.file("data.bin"), "abc");
    // Typed in lower case, found in /dev; each open of it makes a new master with no device
    // behind it.
    const run_result result = run_process({tool, "ptmx", dir.file("data.bin")}, 10);
    EXPECT_EQ(result.out, banner + no_answer);
    EXPECT_EQ(result.status, 1);
}

}  // namespace
