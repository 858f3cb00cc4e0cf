#include "sim/line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/stop.h"
#include "sim/terminal.h"

namespace {

constexpr int wait_ms = 50;  // how often a write that waits for the far end looks around

bool has(tcflag_t flags, tcflag_t wanted) {
    return (flags & wanted) == wanted;
}

bool always(const termios& /*t*/) {
    return true;
}

bool canonical(const termios& t) {
    return has(t.c_lflag, ICANON);
}

// Erase is echoed only in canonical mode with echo on.
bool canonical_echo(const termios& t) {
    return has(t.c_lflag, ICANON | ECHO);
}

// The newline after a kill is echoed with echo on, and on BSD under ECHONL too.
bool canonical_echo_or_newline_echo(const termios& t) {
    return canonical(t) && (has(t.c_lflag, ECHO) || has(t.c_lflag, ECHONL));
}

bool output_stops_on_xoff(const termios& t) {
    return has(t.c_iflag, IXON);
}

bool carriage_returns_kept(const termios& t) {
    return !has(t.c_iflag, IGNCR);
}

bool breaks_kept(const termios& t) {
    return !has(t.c_iflag, IGNBRK);
}

// OPOST alone changes nothing; which of the flags under it translate bytes varies by system.
bool output_flags_under_opost(const termios& t) {
    return (t.c_oflag & ~static_cast<tcflag_t>(OPOST)) != 0;
}

struct forbidden_flag {
    tcflag_t termios::*field;
    tcflag_t flag;
    const char* name;
    bool (*can_change_bytes)(const termios& t);  // given the other flags
};

// Each flag that must be clear for raw binary transfer, in the order they are reported. A flag
// is reported only where it can change a byte, given the others: ECHOE, ECHOK, ECHONL and IXANY
// do nothing once ICANON, ECHO and IXON are off.
const forbidden_flag forbidden_flags[] = {
    {&termios::c_lflag, ICANON, "ICANON", always},
    {&termios::c_lflag, ECHO, "ECHO", always},
    {&termios::c_lflag, ECHOE, "ECHOE", canonical_echo},
    {&termios::c_lflag, ECHOK, "ECHOK", canonical_echo_or_newline_echo},
    {&termios::c_lflag, ECHONL, "ECHONL", canonical},
    {&termios::c_lflag, ISIG, "ISIG", always},
    // BSD takes literal-next and discard characters under IEXTEN even without ICANON.
    {&termios::c_lflag, IEXTEN, "IEXTEN", always},
    {&termios::c_iflag, IXON, "IXON", always},
    {&termios::c_iflag, IXOFF, "IXOFF", always},
    {&termios::c_iflag, IXANY, "IXANY", output_stops_on_xoff},
    {&termios::c_iflag, ICRNL, "ICRNL", carriage_returns_kept},
    {&termios::c_iflag, INLCR, "INLCR", always},
    {&termios::c_iflag, IGNCR, "IGNCR", always},
    {&termios::c_iflag, ISTRIP, "ISTRIP", always},
    // A UART reports framing errors under INPCK, parity or not.
    {&termios::c_iflag, INPCK, "INPCK", always},
    {&termios::c_iflag, PARMRK, "PARMRK", always},
    {&termios::c_iflag, BRKINT, "BRKINT", breaks_kept},
    {&termios::c_oflag, OPOST, "OPOST", output_flags_under_opost},
};

std::string speed_text(speed_t speed) {
    long rate = bits_per_second(speed);
    return rate >= 0 ? std::to_string(rate) : "code " + std::to_string(speed);
}

void add_problem(std::string& problems, const std::string& problem) {
    if (!problems.empty()) {
        problems += ", ";
    }
    problems += problem;
}

std::string failure(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool set_line_flags(int fd, const std::string& name, std::string& error) {
    // The COMMAND must not hold the line: the far end of a pty would never see a hang-up.
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        error = failure("cannot set FD_CLOEXEC on", name);
        return false;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = failure("cannot set O_NONBLOCK on", name);
        return false;
    }
    return true;
}

bool open_pseudo_terminal(int& master, std::string& slave_path, std::string& error) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = failure("cannot open a", "pseudo-terminal");
        return false;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        error = failure("cannot name the", "pseudo-terminal");
        return false;
    }
    slave_path = name;
    if (!set_line_flags(master, "the master of " + slave_path, error)) {
        return false;
    }

    // On Linux the settings outlive this close, so the tool meets a line it must fix. BSD systems
    // put a pseudo-terminal back to their defaults (cooked, echoing, 9600 bit/s, 8N1) when it is
    // next opened: a line the tool must fix all the same, with the framing already right.
    int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
        error = failure("cannot open", slave_path);
        return false;
    }
    t.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
    t.c_iflag |= ICRNL | INLCR | IXON | IXOFF | IXANY | ISTRIP | INPCK | PARMRK | BRKINT;
    t.c_oflag |= OPOST | ONLCR;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    t.c_cc[VMIN] = 1;
    if (tcsetattr(slave, TCSANOW, &t) != 0) {
        error = failure("cannot set up", slave_path);
        close(slave);
        return false;
    }
    close(slave);
    return true;
}

bool open_real_port(const std::string& path, int& fd, std::string& error) {
    // Without waiting for carrier, which a null-modem cable may not carry: the open of a port
    // without CLOCAL would wait for it for ever.
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = failure("cannot open", path);
        return false;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        error = failure("cannot read the settings of", path);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetospeed(&t, B115200);
    cfsetispeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        error = failure("cannot set up", path);
        return false;
    }
    if (!set_line_flags(fd, path, error)) {
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

std::string line_settings_problems(const termios& t) {
    std::string problems;
    speed_t out_speed = cfgetospeed(&t);
    speed_t in_speed = cfgetispeed(&t);
    if (out_speed != B115200) {
        add_problem(problems, "speed " + speed_text(out_speed));
    }
    // An input speed of 0 means "the same as the output speed".
    if (in_speed != B115200 && in_speed != B0 && in_speed != out_speed) {
        add_problem(problems, "input speed " + speed_text(in_speed));
    }
    switch (t.c_cflag & CSIZE) {
        case CS8:
            break;
        case CS7:
            add_problem(problems, "CS7 set");
            break;
        case CS6:
            add_problem(problems, "CS6 set");
            break;
        default:
            add_problem(problems, "CS5 set");
            break;
    }
    if (t.c_cflag & PARENB) {
        add_problem(problems, "PARENB set");
    }
    if (t.c_cflag & CSTOPB) {
        add_problem(problems, "CSTOPB set");
    }
    if (!(t.c_cflag & CREAD)) {
        add_problem(problems, "CREAD clear");
    }
    for (const forbidden_flag& f : forbidden_flags) {
        if (has(t.*f.field, f.flag) && f.can_change_bytes(t)) {
            add_problem(problems, std::string(f.name) + " set");
        }
    }
    return problems;
}

void check_line_settings(int master) {
    termios t;
    if (tcgetattr(master, &t) != 0) {
        std::fprintf(stderr, "quillbox-sim: cannot read the line settings: %s\n",
                     std::strerror(errno));
        return;
    }
    std::string problems = line_settings_problems(t);
    if (!problems.empty()) {
        std::fprintf(stderr, "quillbox-sim: line settings are off: %s\n", problems.c_str());
    }
}

bool far_end_closed(int master) {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void send_to_line(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        // The far end is not reading; wait until it does, leaves, or we are told to stop.
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, wait_ms) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            return;
        }
        if (stop_requested()) {
            return;
        }
    }
}
