#include "sim/serve.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "sim/files.h"
#include "sim/line.h"
#include "sim/stats.h"
#include "sim/terminal.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int /*signal*/) {
    stop_requested = 1;
}

constexpr std::int64_t byte_time_ns = 86806;      // 10 bits at 115,200 bit/s
constexpr std::int64_t idle_end_ns = 1000000000;  // --port: a quiet line ends a transfer
constexpr int wait_ms = 50;                       // how often a blocked loop looks around

struct session {
    const options& opts;
    device_state& device;
    int fd;
    bool pty;
    bool transfer_open = false;
    transfer_timing timing{};
    std::int64_t last_byte_ns = 0;
    pid_t child = -1;  // -1 once it has ended, or when there is no COMMAND
    int child_status = 0;
    std::int64_t wake_lateness_ns = 0;  // how late a sleep tends to return
    // Seeded from --seed on purpose: the same seed must give the same delays.
    std::mt19937_64 jitter{opts.seed};
};

enum class read_outcome { ok, hung_up, failed };

std::int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Sleeps toward an absolute deadline on the monotonic clock, so that delays do not add up over a
// frame; relative sleeps, each to what is left, so no system needs a sleep until a given time. The
// kernel wakes us late (timer slack, a busy host), so aim early by the lateness seen so far; one
// long stall is not typical.
void sleep_until(session& s, std::int64_t target_ns) {
    std::int64_t aim_ns = target_ns - s.wake_lateness_ns;
    std::int64_t left_ns = aim_ns - now_ns();
    if (left_ns <= 0) {
        return;
    }
    // A signal cuts a sleep short; sleep again for what is left unless told to stop.
    while (left_ns > 0 && !stop_requested) {
        timespec t{static_cast<time_t>(left_ns / 1000000000),
                   static_cast<long>(left_ns % 1000000000)};
        nanosleep(&t, nullptr);
        left_ns = aim_ns - now_ns();
    }
    std::int64_t late_ns = std::min<std::int64_t>(now_ns() - aim_ns, 300000);
    s.wake_lateness_ns += (late_ns - s.wake_lateness_ns) / 8;
}

// POLLHUP on the master: nobody has the slave open.
bool far_end_closed(const session& s) {
    pollfd p{s.fd, POLLIN, 0};
    return s.pty && poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void send_to_line(const session& s, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = write(s.fd, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;  // the missing frame is the far end's to notice
        }
        // The far end is not reading; wait until it does, leaves, or we are told to stop.
        pollfd p{s.fd, POLLOUT, 0};
        if (poll(&p, 1, wait_ms) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            return;
        }
        if (stop_requested) {
            return;
        }
    }
}

void send_answer(session& s, const answer& a, std::int64_t read_ns) {
    if (a.length == 0) {
        return;
    }
    const bool line_rate = s.opts.line_rate;
    std::int64_t delay_us = s.opts.latency_us;
    if (s.opts.jitter_us > 0) {
        delay_us += std::uniform_int_distribution<long>(0, s.opts.jitter_us)(s.jitter);
    }
    std::int64_t start_ns = read_ns + delay_us * 1000 + (line_rate ? byte_time_ns : 0);
    if (!line_rate) {
        if (delay_us > 0) {
            sleep_until(s, start_ns);
            // A frame written after the far end left would greet the next one to open.
            if (far_end_closed(s)) {
                return;
            }
        }
        send_to_line(s, a.bytes, a.length);
        return;
    }
    for (std::size_t k = 0; k < a.length; ++k) {
        sleep_until(s, start_ns + static_cast<std::int64_t>(k + 1) * byte_time_ns);
        if (far_end_closed(s)) {
            return;
        }
        send_to_line(s, &a.bytes[k], 1);
    }
}

void save_image_now(const session& s) {
    std::string error;
    if (!s.opts.image_path.empty() && !save_image(s.opts.image_path, s.device.image, error)) {
        std::fprintf(stderr, "quillbox-sim: %s\n", error.c_str());
    }
}

void begin_transfer(session& s) {
    // Frames that a far end which already left never read must not reach the next one.
    if (s.pty) {
        drop_stale_frames(s.fd);
    }
    start_transfer(s.device);
    s.timing = transfer_timing{};
    s.transfer_open = true;
}

// `why` names the end in the stderr line; nullptr ends the transfer without one.
void end_transfer(session& s, const char* why) {
    s.transfer_open = false;
    if (why != nullptr) {
        std::fprintf(stderr, "quillbox-sim: %s after %llu data bytes\n", why,
                     static_cast<unsigned long long>(s.timing.data_bytes));
    }
    std::string error;
    if (!s.opts.stats_path.empty() &&
        !replace_file(s.opts.stats_path, stats_text(s.timing), error)) {
        std::fprintf(stderr, "quillbox-sim: %s\n", error.c_str());
    }
    save_image_now(s);
}

// Returns false when the device hangs up at this byte.
bool handle_byte(session& s, std::uint8_t byte, std::int64_t read_ns, bool may_answer) {
    if (!s.transfer_open) {
        begin_transfer(s);
    }
    if (s.device.data_bytes == 0) {
        if (s.pty) {
            check_line_settings(s.fd);
        }
        s.timing.first_read_ns = read_ns;
    } else {
        s.timing.turnarounds_us.push_back(static_cast<double>(read_ns - s.timing.answered_ns) /
                                          1000.0);
    }
    s.last_byte_ns = read_ns;
    answer a = receive_data_byte(s.device, byte);
    s.timing.data_bytes = s.device.data_bytes;
    if (may_answer) {
        send_answer(s, a, read_ns);
    }
    s.timing.answered_ns = now_ns();
    return !a.hang_up;
}

// Reads what has arrived and handles it byte by byte, in order. `until_empty` drains the
// line; `may_answer` is false when the far end has already left.
read_outcome read_bytes(session& s, bool until_empty, bool may_answer) {
    std::uint8_t buffer[64];
    for (;;) {
        ssize_t n = read(s.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A pty master whose slave is closed reads EIO once it is empty.
        if (n == 0 || (n < 0 && (errno == EAGAIN || (s.pty && errno == EIO)))) {
            return read_outcome::ok;
        }
        if (n < 0) {
            return read_outcome::failed;
        }
        for (ssize_t i = 0; i < n; ++i) {
            std::int64_t read_ns = now_ns();
            if (!handle_byte(s, buffer[i], read_ns, may_answer)) {
                return read_outcome::hung_up;
            }
        }
        if (!until_empty) {
            return read_outcome::ok;
        }
    }
}

// Input that arrives after a transfer ended, while nobody holds the slave: a cooked far end's
// ldisc goes on echoing our frames after it closed. No tool sent it, so it is no data.
void drop_pending(int fd) {
    std::uint8_t buffer[256];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

int exit_status_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return WEXITSTATUS(wait_status);
}

// Returns false when fork failed.
bool start_command(session& s, const std::string& path) {
    std::vector<std::string> args = s.opts.command;
    for (std::string& arg : args) {
        for (std::size_t at = arg.find("{}"); at != std::string::npos;
             at = arg.find("{}", at + path.size())) {
            arg.replace(at, 2, path);
        }
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "quillbox-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        std::signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "quillbox-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    s.child = pid;
    return true;
}

// True once there is a COMMAND and it has ended.
bool command_ended(session& s) {
    if (s.opts.command.empty()) {
        return false;
    }
    int status;
    if (s.child > 0 && waitpid(s.child, &status, WNOHANG) == s.child) {
        s.child = -1;
        s.child_status = exit_status_of(status);
    }
    return s.child < 0;
}

void wait_for_command(session& s) {
    bool forwarded = false;
    while (s.child > 0) {
        if (stop_requested && !forwarded) {
            kill(s.child, SIGTERM);
            forwarded = true;
        }
        int status;
        pid_t r = waitpid(s.child, &status, 0);
        if (r == s.child) {
            s.child = -1;
            s.child_status = exit_status_of(status);
        } else if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "quillbox-sim: lost the COMMAND: %s\n", std::strerror(errno));
            s.child = -1;
            s.child_status = 1;
        }
    }
}

// Ends the serving: the transfer still open, the COMMAND, the image.
int finish(session& s, int status_without_command) {
    if (s.transfer_open) {
        end_transfer(s, nullptr);
    }
    if (s.fd >= 0) {
        close(s.fd);
        s.fd = -1;
    }
    save_image_now(s);
    if (s.opts.command.empty()) {
        return status_without_command;
    }
    wait_for_command(s);
    return s.child_status;
}

// The device drops the line: the far end of a pty sees a hang-up.
int hang_up(session& s) {
    close(s.fd);
    s.fd = -1;
    end_transfer(s, "hung up");
    return finish(s, 0);
}

int line_failed(session& s, const std::string& path) {
    std::fprintf(stderr, "quillbox-sim: lost the line %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return finish(s, 1);
}

int serve_pseudo_terminal(session& s, const std::string& path) {
    for (;;) {
        if (stop_requested) {
            return finish(s, 0);
        }
        // While nobody has the slave open the master reports POLLHUP at once, so poll cannot
        // block then: look again every millisecond.
        pollfd p{s.fd, POLLIN, 0};
        int r = poll(&p, 1, s.transfer_open ? wait_ms : 0);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return line_failed(s, path);
        }
        bool closed = p.revents & POLLHUP;
        if (!s.transfer_open && !closed) {
            begin_transfer(s);
        }
        if ((p.revents & POLLIN) && closed && !s.transfer_open) {
            drop_pending(s.fd);
        } else if (p.revents & POLLIN) {
            // Bytes a closed far end left behind still count, but nobody is there to answer.
            read_outcome outcome = read_bytes(s, closed, !closed);
            if (outcome == read_outcome::hung_up) {
                return hang_up(s);
            }
            if (outcome == read_outcome::failed) {
                return line_failed(s, path);
            }
        }
        if (closed && s.transfer_open) {
            end_transfer(s, "port closed");
        }
        // The COMMAND may end without ever opening the port, so look in both states.
        if ((r == 0 || !s.transfer_open) && command_ended(s) && !s.transfer_open) {
            return finish(s, 0);
        }
        if (closed) {
            timespec ms{0, 1000000};
            nanosleep(&ms, nullptr);
        }
    }
}

int serve_serial_port(session& s, const std::string& path) {
    for (;;) {
        if (stop_requested) {
            return finish(s, 0);
        }
        pollfd p{s.fd, POLLIN, 0};
        int r = poll(&p, 1, wait_ms);
        if (r < 0 && errno != EINTR) {
            return line_failed(s, path);
        }
        if (p.revents & POLLIN) {
            read_outcome outcome = read_bytes(s, false, true);
            if (outcome == read_outcome::hung_up) {
                return hang_up(s);
            }
            if (outcome == read_outcome::failed) {
                return line_failed(s, path);
            }
        } else if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            errno = EIO;
            return line_failed(s, path);
        }
        // A real line shows no open or close, only silence.
        if (s.transfer_open && now_ns() - s.last_byte_ns > idle_end_ns) {
            end_transfer(s, "line idle for 1 s; transfer ended");
        }
        if ((r == 0 || !s.transfer_open) && command_ended(s)) {
            return finish(s, 0);
        }
    }
}

}  // namespace

void install_signal_handlers() {
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    // No SA_RESTART: poll and waitpid must return so the loop sees the request.
    stop.sa_flags = 0;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int serve(const options& opts, device_state& device, int fd, const std::string& path) {
    session s{opts, device, fd, opts.port_path.empty()};
    if (opts.command.empty()) {
        // Alone on stdout, so a script can `read path`.
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "quillbox-sim: a Quillbox is listening on %s; press Ctrl-C to stop\n",
                     path.c_str());
    } else {
        std::fprintf(stderr, "quillbox-sim: serving on %s\n", path.c_str());
        if (!start_command(s, path)) {
            return 2;
        }
    }
    return s.pty ? serve_pseudo_terminal(s, path) : serve_serial_port(s, path);
}
