// Writes a file through the simulator and reports what a run costs: throughput, the tool's CPU
// per data byte (its own rusage), and the turnaround from a frame leaving the device to the next
// data byte reaching it (the simulator's clock). Each figure is also given as a ratio to the
// least a writer can do, measured against the same simulator in the same run: one write, one
// poll woken by a whole frame, one read of the frame, per byte.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/process_helpers.h"

namespace {

// 60 bit times a data byte at 115,200 bit/s: one byte out, five back, ten bits each.
constexpr double line_floor_us_per_byte = 60.0 / 115200.0 * 1e6;

struct run_figures {
    double wall_us = 0;
    double tool_cpu_us = 0;
    std::map<std::string, double> device;  // the simulator's figures of the transfer
};

std::map<std::string, double> read_figures(const std::string& path) {
    std::map<std::string, double> figures;
    std::ifstream stream(path);
    std::string key;
    double value = 0;
    while (stream >> key >> value) {
        figures[key] = value;
    }
    return figures;
}

double cpu_microseconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// The least a writer can do for one byte: one write, one poll that wakes once the whole frame is
// there (VMIN 5, VTIME 0), one read of the frame. It checks nothing and prints nothing. Runs in
// a forked child, so that its rusage is its own, and ends it: status 0 once every frame came.
[[noreturn]] void bare_writer(const std::string& port, const std::string& data) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        _exit(2);
    }
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    settings.c_cc[VMIN] = 5;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        _exit(2);
    }
    for (const char byte : data) {
        if (write(fd, &byte, 1) != 1) {
            _exit(1);
        }
        pollfd watch{fd, POLLIN, 0};
        std::uint8_t frame[5];
        if (poll(&watch, 1, 2000) != 1 || read(fd, frame, sizeof frame) != sizeof frame) {
            _exit(1);
        }
    }
    close(fd);
    _exit(0);
}

enum class writer { tool, bare };

run_figures write_once(const scratch_directory& dir, const std::string& data, bool line_rate,
                       writer who) {
    const std::string stats = dir.file("stats.txt");
    std::remove(stats.c_str());
    std::vector<std::string> sim_argv = {QUILLBOX_SIM_PATH, "--stats", stats};
    if (line_rate) {
        sim_argv.push_back("--line-rate");
    }
    serving_process serving = start_serving(sim_argv);
    spawned_process& device = serving.process;
    const std::string& port = serving.port;

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        // A writer that hangs ends here, and the benchmark with an error; the alarm outlives exec.
        alarm(120);
        if (who == writer::bare) {
            bare_writer(port, data);
        }
        std::freopen("/dev/null", "w", stdout);
        execl(EEPROM_WRITER_PATH, EEPROM_WRITER_PATH, port.c_str(), dir.file("data.bin").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    run_figures figures;
    figures.wall_us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    figures.tool_cpu_us = cpu_microseconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        kill(device.pid, SIGTERM);
        finish_process(device, 10);
        throw std::runtime_error(who == writer::tool ? "the tool's write failed"
                                                     : "the bare writer failed");
    }

    // The simulator writes its figures once it has seen the port close.
    for (int tries = 0; tries < 2000 && access(stats.c_str(), F_OK) != 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(device.pid, SIGTERM);
    finish_process(device, 10);
    figures.device = read_figures(stats);
    return figures;
}

// Sums of one writer's runs.
struct totals {
    double wall = 0, cpu = 0, active = 0, median = 0, p99 = 0;
    void add(const run_figures& figures) {
        wall += figures.wall_us;
        cpu += figures.tool_cpu_us;
        active += figures.device.at("active_us");
        median += figures.device.at("turnaround_median_us");
        p99 += figures.device.at("turnaround_p99_us");
    }
};

// Each iteration writes the file once with the tool and once with the bare writer, one right
// after the other, so that both meet the same machine.
void write_through_simulator(benchmark::State& state, bool line_rate) {
    const auto size = static_cast<std::size_t>(state.range(0));
    scratch_directory dir;
    const std::string data = pseudo_random_bytes(size, 11);
    write_file(dir.file("data.bin"), data);

    totals tool, bare;
    for (auto _ : state) {
        const run_figures figures = write_once(dir, data, line_rate, writer::tool);
        state.SetIterationTime(figures.wall_us / 1e6);
        tool.add(figures);
        state.PauseTiming();
        bare.add(write_once(dir, data, line_rate, writer::bare));
        state.ResumeTiming();
    }
    const auto runs = static_cast<double>(state.iterations());
    const double bytes = static_cast<double>(size) * runs;
    state.counters["bytes_per_s"] = bytes / (tool.active / 1e6);
    state.counters["cpu_us_per_byte"] = tool.cpu / bytes;
    state.counters["bare_cpu_us_per_byte"] = bare.cpu / bytes;
    state.counters["cpu_vs_bare"] = tool.cpu / bare.cpu;
    state.counters["turnaround_median_us"] = tool.median / runs;
    state.counters["bare_turnaround_median_us"] = bare.median / runs;
    state.counters["turnaround_vs_bare"] = tool.median / bare.median;
    state.counters["turnaround_p99_us"] = tool.p99 / runs;
    if (line_rate) {
        state.counters["wall_vs_line_floor"] = tool.wall / (bytes * line_floor_us_per_byte);
    }
}

}  // namespace

BENCHMARK_CAPTURE(write_through_simulator, pty, false)
    ->Arg(32768)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// Three runs: a single one at the line rate is at the mercy of the host's timer slack.
BENCHMARK_CAPTURE(write_through_simulator, line_rate, true)
    ->Arg(8192)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
