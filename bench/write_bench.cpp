// Writes a file through the simulator and reports what a run costs: throughput, the tool's CPU
// per data byte and as a share of wall time (its own rusage), and the turnaround from a frame
// leaving the device to the next data byte reaching it (the simulator's clock).
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

std::string read_line_from(int fd) {
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

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

run_figures write_once(const scratch_directory& dir, bool line_rate) {
    const std::string stats = dir.file("stats.txt");
    std::remove(stats.c_str());
    std::vector<std::string> sim_argv = {QUILLBOX_SIM_PATH, "--stats", stats};
    if (line_rate) {
        sim_argv.push_back("--line-rate");
    }
    spawned_process device = spawn_process(sim_argv);
    const std::string port = read_line_from(device.out_fd);

    const auto start = std::chrono::steady_clock::now();
    const pid_t tool = fork();
    if (tool == 0) {
        std::freopen("/dev/null", "w", stdout);
        execl(EEPROM_WRITER_PATH, EEPROM_WRITER_PATH, port.c_str(), dir.file("data.bin").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(tool, &status, 0, &usage);
    run_figures figures;
    figures.wall_us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    figures.tool_cpu_us = cpu_microseconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("the write failed");
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

void write_through_simulator(benchmark::State& state, bool line_rate) {
    const auto size = static_cast<std::size_t>(state.range(0));
    scratch_directory dir;
    write_file(dir.file("data.bin"), pseudo_random_bytes(size, 11));

    double wall = 0, cpu = 0, active = 0, median = 0, p99 = 0;
    for (auto _ : state) {
        const run_figures figures = write_once(dir, line_rate);
        state.SetIterationTime(figures.wall_us / 1e6);
        wall += figures.wall_us;
        cpu += figures.tool_cpu_us;
        active += figures.device.at("active_us");
        median += figures.device.at("turnaround_median_us");
        p99 += figures.device.at("turnaround_p99_us");
    }
    const auto runs = static_cast<double>(state.iterations());
    const double bytes = static_cast<double>(size) * runs;
    state.counters["bytes_per_s"] = bytes / (active / 1e6);
    state.counters["cpu_us_per_byte"] = cpu / bytes;
    state.counters["cpu_share_%"] = 100 * cpu / wall;
    state.counters["turnaround_median_us"] = median / runs;
    state.counters["turnaround_p99_us"] = p99 / runs;
    if (line_rate) {
        state.counters["wall_vs_line_floor"] = wall / (bytes * line_floor_us_per_byte);
    }
}

// The platform's own floor, for comparison: the smallest client and device there can be, one
// byte out and five back over a pseudo-terminal, each side waiting in poll.
void bare_pty_round_trip(benchmark::State& state) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &settings);

    const pid_t device = fork();
    if (device == 0) {
        std::uint8_t byte = 0;
        const std::uint8_t frame[5] = {};
        for (;;) {
            pollfd watch{master, POLLIN, 0};
            poll(&watch, 1, -1);
            if (read(master, &byte, 1) != 1) {
                _exit(0);
            }
            if (write(master, frame, sizeof frame) < 0) {
                _exit(0);
            }
        }
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const std::uint8_t byte = 1;
    for (auto _ : state) {
        if (write(slave, &byte, 1) != 1) {
            state.SkipWithError("write failed");
            break;
        }
        for (int count = 0; count < 5;) {
            pollfd watch{slave, POLLIN, 0};
            poll(&watch, 1, -1);
            std::uint8_t in = 0;
            while (count < 5 && read(slave, &in, 1) == 1) {
                ++count;
            }
        }
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    close(slave);
    close(master);
    kill(device, SIGKILL);
    waitpid(device, nullptr, 0);
    state.counters["cpu_us_per_byte"] = (cpu_microseconds(after) - cpu_microseconds(before)) /
                                        static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(write_through_simulator, pty, false)
    ->Arg(32768)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write_through_simulator, line_rate, true)
    ->Arg(8192)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(bare_pty_round_trip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
