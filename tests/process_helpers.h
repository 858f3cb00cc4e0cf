// Running the real programs from tests: spawn, collect stdout/stderr and the exit status, with a
// time limit so that a hang fails the test instead of stalling the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int status = -1;      // exit status, 128 + signal when killed, -1 when it ran past the limit
    double seconds = -1;  // from the start to the exit, to about 10 ms
};

struct spawned_process {
    pid_t pid = -1;
    int out_fd = -1;  // read end of the child's stdout, -1 when stdout went elsewhere
    int err_fd = -1;  // likewise for stderr
    std::chrono::steady_clock::time_point started;
};

// Starts argv[0] (searched in PATH) with stdin from /dev/null. stdout and stderr go to
// `stdout_fd` and `stderr_fd` when they are given, to pipes otherwise.
spawned_process spawn_process(const std::vector<std::string>& argv, int stdout_fd = -1,
                              int stderr_fd = -1);

// Reads the child's pipes until it has exited and they are closed; kills its process group
// after `limit_seconds`. Leaves child.pid at -1.
run_result finish_process(spawned_process& child, double limit_seconds = 60);

// spawn_process and finish_process in one.
run_result run_process(const std::vector<std::string>& argv, double limit_seconds = 60);

// How often `part` occurs in `text`.
std::size_t count_of(const std::string& text, const std::string& part);

// Reads `fd` into `seen` until `text` has appeared in it `times` times. False when the writers
// are gone or `limit_seconds` have passed first.
bool read_until(int fd, std::string& seen, const std::string& text, std::size_t times = 1,
                double limit_seconds = 30);

// Reads `fd` into `seen` until its writers are gone (a pseudo-terminal's reads as an error). False
// when `limit_seconds` have passed first.
bool read_to_end(int fd, std::string& seen, double limit_seconds = 30);

// A program that serves a port and names it on the first line of its stdout, as quillbox-sim
// does without a COMMAND.
struct serving_process {
    spawned_process process;
    std::string port;
};

// Starts `argv` and reads the port's name. When the program ends or names none within
// `limit_seconds`, it is stopped and this throws, with what it said on stderr: a run against a
// port that was never there would only show the tool's failure to open it.
serving_process start_serving(const std::vector<std::string>& argv, double limit_seconds = 10);

// A fresh directory under the system's temporary directory, removed with everything in it when
// the test ends.
struct scratch_directory {
    std::string path;
    scratch_directory();
    ~scratch_directory();
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    std::string file(const std::string& name) const {
        return path + "/" + name;
    }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

// Bytes that no test's expectations could produce by accident: a fixed pseudo-random sequence.
std::string pseudo_random_bytes(std::size_t count, std::uint32_t seed);
