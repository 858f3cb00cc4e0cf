#include "sim/serve.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sim/command.h"
#include "sim/files.h"
#include "sim/line.h"
#include "sim/pacing.h"
#include "sim/stop.h"
#include "sim/terminal.h"
#include "sim/transfer.h"

namespace {

constexpr std::int64_t idle_end_ns = 1000000000;  // --port: a quiet line ends a transfer
constexpr int wait_ms = 50;                       // how often a blocked loop looks around
constexpr int image_not_saved = 3;                // the exit status when the last save failed

// What one round of serving came to.
enum class outcome { go_on, stop, command_ended, hung_up, line_failed };

// The serving of one line: the device on it and each job's own state.
struct server {
    const options& opts;
    device_state& device;
    int fd;
    bool pty;
    const std::string& path;
    transfer_record transfer;
    pacing pace;
    command_run command;
};

// Returns false, with a message, when the image could not be saved.
bool save_image_now(const server& s) {
    std::string error;
    if (!s.opts.image_path.empty() && !save_image(s.opts.image_path, s.device.image, error)) {
        std::fprintf(stderr, "quillbox-sim: cannot save the image: %s\n", error.c_str());
        return false;
    }
    return true;
}

void begin_transfer(server& s) {
    // Frames that a far end which already left never read must not reach the next one.
    if (s.pty) {
        drop_stale_frames(s.fd);
    }
    start_transfer(s.device);
    open_transfer(s.transfer);
}

// A transfer ends while serving goes on: the image is saved for whoever looks at it next.
void end_transfer(server& s, const char* why) {
    close_transfer(s.transfer, why, s.opts.stats_path);
    save_image_now(s);
}

// Returns false when the device hangs up at this byte.
bool handle_byte(server& s, std::uint8_t byte, std::int64_t read_ns, bool may_answer) {
    if (!s.transfer.open) {
        begin_transfer(s);
    }
    if (s.device.data_bytes == 0 && s.pty) {
        check_line_settings(s.fd);
    }
    note_byte_read(s.transfer, read_ns);
    answer a = receive_data_byte(s.device, byte);
    if (may_answer) {
        send_answer(s.pace, s.fd, s.pty, a, read_ns);
    }
    note_byte_handled(s.transfer, s.device.data_bytes, now_ns());
    return !a.hang_up;
}

outcome line_lost(const server& s) {
    std::fprintf(stderr, "quillbox-sim: lost the line %s: %s\n", s.path.c_str(),
                 std::strerror(errno));
    return outcome::line_failed;
}

// Reads what has arrived and handles it byte by byte, in order. `until_empty` drains the
// line; `may_answer` is false when the far end has already left.
outcome read_bytes(server& s, bool until_empty, bool may_answer) {
    std::uint8_t buffer[64];
    for (;;) {
        ssize_t n = read(s.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A pty master whose slave is closed reads EIO once it is empty.
        if (n == 0 || (n < 0 && (errno == EAGAIN || (s.pty && errno == EIO)))) {
            return outcome::go_on;
        }
        if (n < 0) {
            return line_lost(s);
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (!handle_byte(s, buffer[i], now_ns(), may_answer)) {
                return outcome::hung_up;
            }
        }
        if (!until_empty) {
            return outcome::go_on;
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

outcome serve_pseudo_terminal(server& s) {
    // While nobody has the slave open the master reports POLLHUP at once, so poll cannot
    // block then: look again every millisecond.
    pollfd p{s.fd, POLLIN, 0};
    int r = poll(&p, 1, s.transfer.open ? wait_ms : 0);
    if (r < 0) {
        return errno == EINTR ? outcome::go_on : line_lost(s);
    }
    bool closed = p.revents & POLLHUP;
    if (!s.transfer.open && !closed) {
        begin_transfer(s);
    }
    if ((p.revents & POLLIN) && closed && !s.transfer.open) {
        drop_pending(s.fd);
    } else if (p.revents & POLLIN) {
        // Bytes a closed far end left behind still count, but nobody is there to answer.
        outcome o = read_bytes(s, closed, !closed);
        if (o != outcome::go_on) {
            return o;
        }
    }
    if (closed && s.transfer.open) {
        end_transfer(s, "port closed");
    }
    // The COMMAND may end without ever opening the port, so look in both states.
    if (!s.transfer.open && command_ended(s.command)) {
        return outcome::command_ended;
    }
    if (closed) {
        timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
    }
    return outcome::go_on;
}

outcome serve_serial_port(server& s) {
    pollfd p{s.fd, POLLIN, 0};
    int r = poll(&p, 1, wait_ms);
    if (r < 0 && errno != EINTR) {
        return line_lost(s);
    }
    if (p.revents & POLLIN) {
        outcome o = read_bytes(s, false, true);
        if (o != outcome::go_on) {
            return o;
        }
    } else if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        errno = EIO;
        return line_lost(s);
    }
    // A real line shows no open or close, only silence.
    if (s.transfer.open && now_ns() - s.transfer.last_byte_ns > idle_end_ns) {
        end_transfer(s, "line idle for 1 s; transfer ended");
    }
    if ((r == 0 || !s.transfer.open) && command_ended(s.command)) {
        return outcome::command_ended;
    }
    return outcome::go_on;
}

// One round of watching the line, unless a stop has been asked for.
outcome serve_round(server& s) {
    if (stop_requested()) {
        return outcome::stop;
    }
    return s.pty ? serve_pseudo_terminal(s) : serve_serial_port(s);
}

// Ends the serving: the line, the transfer still open (`why` names its end), the image, the
// COMMAND.
int finish(server& s, int status_without_command, const char* why) {
    // First, so that the far end of a pty sees the hang-up at once.
    close(s.fd);
    if (s.transfer.open) {
        close_transfer(s.transfer, why, s.opts.stats_path);
    }
    bool saved = save_image_now(s);
    int status = s.opts.command.empty() ? status_without_command : wait_for_command(s.command);
    // An image lost is a failure, whatever the COMMAND made of its run.
    return saved ? status : image_not_saved;
}

}  // namespace

int serve(const options& opts, device_state& device, int fd, const std::string& path) {
    server s{opts, device, fd, opts.port_path.empty(), path, {}, pacing_of(opts), {}};
    if (opts.command.empty()) {
        // Alone on stdout, so a script can `read path`.
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "quillbox-sim: a Quillbox is listening on %s; press Ctrl-C to stop\n",
                     path.c_str());
    } else {
        std::fprintf(stderr, "quillbox-sim: serving on %s\n", path.c_str());
        if (!start_command(opts.command, path, s.command)) {
            return 2;
        }
    }
    for (;;) {
        switch (serve_round(s)) {
            case outcome::go_on:
                break;
            case outcome::stop:
            case outcome::command_ended:
                return finish(s, 0, nullptr);
            case outcome::hung_up:
                return finish(s, 0, "hung up");
            case outcome::line_failed:
                return finish(s, 1, nullptr);
        }
    }
}
