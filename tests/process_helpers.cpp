#include "tests/process_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

// pipe and then FD_CLOEXEC rather than pipe2, which not every system has; the tests start
// children from one thread only, so no fork can come between the two.
void make_pipe(int ends[2]) {
    if (pipe(ends) != 0) {
        throw std::runtime_error("pipe failed");
    }
    for (int k = 0; k < 2; ++k) {
        if (fcntl(ends[k], F_SETFD, FD_CLOEXEC) != 0) {
            close(ends[0]);
            close(ends[1]);
            throw std::runtime_error("fcntl(FD_CLOEXEC) on a pipe failed");
        }
    }
}

}  // namespace

spawned_process spawn_process(const std::vector<std::string>& argv, int stdout_fd, int stderr_fd) {
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (stdout_fd < 0) {
        make_pipe(out_pipe);
    }
    if (stderr_fd < 0) {
        make_pipe(err_pipe);
    }

    spawned_process child;
    child.started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // Its own process group, so that a kill reaches whatever it started too.
        setpgid(0, 0);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        dup2(stdout_fd >= 0 ? stdout_fd : out_pipe[1], STDOUT_FILENO);
        dup2(stderr_fd >= 0 ? stderr_fd : err_pipe[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    // Here too, so that the group is there before any kill of it, whichever runs first; once
    // the child has run exec this fails harmlessly, the child having done it itself.
    setpgid(pid, pid);
    child.pid = pid;
    if (stdout_fd < 0) {
        close(out_pipe[1]);
        child.out_fd = out_pipe[0];
    }
    if (stderr_fd < 0) {
        close(err_pipe[1]);
        child.err_fd = err_pipe[0];
    }
    return child;
}

namespace {

std::chrono::steady_clock::duration in_seconds(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

// Reads what is there on `fd` into `sink`; closes it and sets it to -1 at its end.
void drain(int& fd, std::string& sink) {
    char buffer[65536];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        sink.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

run_result finish_process(spawned_process& child, double limit_seconds) {
    run_result result;
    const auto limit = std::chrono::steady_clock::now() + in_seconds(limit_seconds);
    // What a killed child's own children may hold open is not worth waiting for past this.
    const auto give_up = limit + std::chrono::seconds(5);
    bool killed = false;
    bool ran_past_limit = false;
    bool exited = false;
    int status = 0;
    while (!exited || child.out_fd >= 0 || child.err_fd >= 0) {
        // poll passes over negative descriptors: with no pipe left, this is a short pause.
        pollfd fds[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
        if (poll(fds, 2, 10) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd >= 0 && fds[i].revents != 0) {
                    drain(i == 0 ? child.out_fd : child.err_fd, i == 0 ? result.out : result.err);
                }
            }
        }
        if (!exited) {
            const pid_t reaped = waitpid(child.pid, &status, WNOHANG);
            if (reaped == child.pid) {
                exited = true;
                result.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - child.started)
                        .count();
            } else if (reaped < 0 && errno != EINTR) {
                throw std::runtime_error("waitpid failed");
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (!killed && now > limit) {
            killed = true;
            // Past the limit only if the child itself was still running; one that ended in time
            // keeps its status though its own children held the pipes.
            ran_past_limit = !exited;
            kill(-child.pid, SIGKILL);
        } else if (killed && now > give_up) {
            for (int* fd : {&child.out_fd, &child.err_fd}) {
                if (*fd >= 0) {
                    close(*fd);
                    *fd = -1;
                }
            }
            // A child that even SIGKILL has not ended (held in the kernel) is not waited for.
            if (!exited) {
                break;
            }
        }
    }
    if (ran_past_limit) {
        result.status = -1;
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else {
        result.status = 128 + WTERMSIG(status);
    }
    child.pid = -1;  // reaped: nothing of it is left to kill
    return result;
}

run_result run_process(const std::vector<std::string>& argv, double limit_seconds) {
    spawned_process child = spawn_process(argv);
    return finish_process(child, limit_seconds);
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

namespace {

enum class read_end { wanted, writers_gone, time_out };

// Reads `fd` into `seen` until `wanted(seen)`, the writers are gone, or `limit_seconds` have
// passed.
read_end read_into(int fd, std::string& seen, double limit_seconds,
                   const std::function<bool(const std::string&)>& wanted) {
    const auto limit = std::chrono::steady_clock::now() + in_seconds(limit_seconds);
    while (!wanted(seen)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return read_end::time_out;
        }
        pollfd watch{fd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return read_end::time_out;
        }
        char buffer[4096];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        // A pseudo-terminal whose other side is closed reads as an error rather than an end.
        if (count <= 0) {
            return read_end::writers_gone;
        }
        seen.append(buffer, static_cast<std::size_t>(count));
    }
    return read_end::wanted;
}

}  // namespace

bool read_until(int fd, std::string& seen, const std::string& text, std::size_t times,
                double limit_seconds) {
    return read_into(fd, seen, limit_seconds, [&](const std::string& so_far) {
               return count_of(so_far, text) >= times;
           }) == read_end::wanted;
}

bool read_to_end(int fd, std::string& seen, double limit_seconds) {
    return read_into(fd, seen, limit_seconds, [](const std::string&) { return false; }) ==
           read_end::writers_gone;
}

serving_process start_serving(const std::vector<std::string>& argv, double limit_seconds) {
    serving_process serving{spawn_process(argv), ""};
    std::string said;
    if (!read_until(serving.process.out_fd, said, "\n", 1, limit_seconds)) {
        kill(serving.process.pid, SIGTERM);
        const run_result ended = finish_process(serving.process, 10);
        throw std::runtime_error(argv.at(0) + " named no port (status " +
                                 std::to_string(ended.status) + "); its stderr:\n" + ended.err);
    }
    serving.port = said.substr(0, said.find('\n'));
    return serving;
}

scratch_directory::scratch_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "eeprom-writer-test-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
}

scratch_directory::~scratch_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void write_file(const std::string& path, const std::string& contents) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << contents;
}

std::string pseudo_random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}
