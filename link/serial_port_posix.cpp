// The serial port on POSIX systems (Linux, macOS): termios for the line, poll(2) for the wait.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "link/port_name.h"
#include "link/serial_port.h"

namespace {

[[noreturn]] void fail(const char* message) {
    std::printf("%s", message);
    std::exit(1);
}

[[noreturn]] void fail_to_open() {
    fail("Failed to open specified serial port.\r\n");
}

[[noreturn]] void fail_to_configure() {
    fail("Failed to configure specified serial port.\r\n");
}

// 115,200 bit/s 8N1, and raw: every byte value 0-255 passes unchanged both ways, with nothing
// translated, echoed, held back for line editing or taken as a signal. The port never paces its
// input with XON/XOFF. Hardware flow control and the other settings stay as the port had them.
void make_line_settings(termios& settings) {
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    // CLOCAL: a device that does not drive DCD must not make the port hang up on us.
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // IXON/IXOFF/IXANY: 0x11 and 0x13 are data in a frame, never pacing. ICRNL/INLCR/IGNCR:
    // 0x0D and 0x0A arrive as sent. ISTRIP: the eighth bit is data. INPCK/PARMRK: no parity
    // marks inserted into the frame. BRKINT: a break must not flush the queue or signal us.
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR |
                                               ISTRIP | INPCK | PARMRK | BRKINT);
    // OPOST: a data byte 0x0A would otherwise leave as 0x0D 0x0A where ONLCR is on.
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    // No line editing, no echo of the device's frames back to it, no signals from 0x03 or 0x1A.
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL |
                                               ECHOPRT | ECHOKE | ISIG | IEXTEN);
    // With VTIME 0, poll reports the port readable only once a whole frame is queued, so the
    // wait wakes once per frame. The port stays non-blocking, so no read ever waits, whatever
    // another program later sets here.
    settings.c_cc[VMIN] = frame_size;
    settings.c_cc[VTIME] = 0;
}

// Some drivers accept tcsetattr but quietly keep a speed or character size they cannot do.
bool line_settings_took(int fd) {
    termios applied{};
    return tcgetattr(fd, &applied) == 0 && cfgetospeed(&applied) == B115200 &&
           (cfgetispeed(&applied) == B115200 || cfgetispeed(&applied) == B0) &&
           (applied.c_cflag & CSIZE) == CS8;
}

}  // namespace

port_handle open_serial_port(const char* name) {
    const std::string path = resolve_port_name(name);
    if (path.empty()) {
        fail_to_open();
    }
    // Non-blocking for the whole run: the open cannot hang on a port without carrier, a write
    // cannot hang on output stopped by flow control, and a read cannot wait whatever VMIN another
    // program sets. Every wait is the poll in wait_for_input, which has a deadline.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    // Reading the settings is what tells a serial port from an ordinary file or /dev/null.
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        fail_to_open();
    }
    // TIOCEXCL keeps other programs from opening the port; flock tells programs that take the
    // same advisory lock (and root, whom TIOCEXCL does not stop) that it is in use.
    if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fail_to_open();
    }

    make_line_settings(settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || !line_settings_took(fd)) {
        fail_to_configure();
    }
    // DTR off. A pseudo-terminal has no modem lines and says so; that is no failure.
    const int dtr = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIC, &dtr) != 0 && errno != ENOTTY && errno != EINVAL) {
        fail_to_configure();
    }
    return fd;
}

void send_byte(port_handle port, std::uint8_t byte) {
    // A byte that cannot go out at once (EAGAIN) shows in the missing confirmation; only a
    // signal is retried.
    while (write(static_cast<int>(port), &byte, 1) < 0 && errno == EINTR) {
    }
}

int receive_bytes(port_handle port, std::uint8_t* buffer, int most) {
    for (;;) {
        const ssize_t count = read(static_cast<int>(port), buffer, static_cast<std::size_t>(most));
        if (count >= 0) {
            return static_cast<int>(count);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            return port_lost;
        }
    }
}

std::int64_t monotonic_milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool wait_for_input(port_handle port, std::int64_t deadline_ms) {
    for (;;) {
        const std::int64_t remaining = deadline_ms - monotonic_milliseconds();
        if (remaining <= 0) {
            return false;
        }
        pollfd watch{static_cast<int>(port), POLLIN, 0};
        const int ready =
            poll(&watch, 1, remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready <= 0) {
            continue;  // interrupted, or woke a little early: look at the clock again
        }
        if ((watch.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
            return true;
        }
        // A hung-up line stays readable (reads return 0 at once), so only bytes that arrived
        // before the hang-up still count as input.
        int pending = 0;
        return ioctl(static_cast<int>(port), FIONREAD, &pending) == 0 && pending > 0;
    }
}

void discard_unsent_output(port_handle port) {
    // A driver waits up to its closing time (30 s on Linux) for output to drain when the port is
    // closed, and output held back by CTS would never drain.
    tcflush(static_cast<int>(port), TCOFLUSH);
}

void close_serial_port(port_handle port) {
    if (close(static_cast<int>(port)) != 0 && errno != EINTR) {
        fail("Failed to close serial port.\r\n");
    }
}
