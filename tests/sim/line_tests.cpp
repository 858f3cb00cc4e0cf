// The line-settings check: what the simulator reports about the settings a tool left on the line.
// A flag counts only where it can change a byte, given the other flags.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sim/line.h"

namespace {

// Raw 115,200 bit/s 8N1, the settings the Quillbox needs.
termios raw_line() {
    termios t{};
    cfmakeraw(&t);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    cfsetospeed(&t, B115200);
    cfsetispeed(&t, B115200);
    return t;
}

struct settings_case {
    const char* what;
    tcflag_t lflags, iflags, oflags;  // set on top of the raw line
    const char* report;
};

const settings_case settings_cases[] = {
    {"raw", 0, 0, 0, ""},
    // What a Windows program under Wine leaves: echo options without echo or canonical mode, and
    // IXANY without output flow control. None of them can touch a byte.
    {"echo options and IXANY alone", ECHOE | ECHOK | ECHONL, IXANY, 0, ""},
    {"echo without canonical mode", ECHO | ECHOE | ECHOK, 0, 0, "ECHO set"},
    {"canonical mode with echo", ICANON | ECHO | ECHOE | ECHOK, 0, 0,
     "ICANON set, ECHO set, ECHOE set, ECHOK set"},
    // ECHONL echoes newlines in canonical mode, the one after a kill among them.
    {"canonical mode with newline echo", ICANON | ECHOE | ECHOK | ECHONL, 0, 0,
     "ICANON set, ECHOK set, ECHONL set"},
    {"IXANY with output flow control", 0, IXON | IXANY, 0, "IXON set, IXANY set"},
    {"ICRNL alone", 0, ICRNL, 0, "ICRNL set"},
    {"ICRNL under IGNCR", 0, ICRNL | IGNCR, 0, "IGNCR set"},
    {"BRKINT alone", 0, BRKINT, 0, "BRKINT set"},
    {"BRKINT under IGNBRK", 0, BRKINT | IGNBRK, 0, ""},
    {"OPOST alone", 0, 0, OPOST, ""},
    {"OPOST with a translation", 0, 0, OPOST | ONLCR, "OPOST set"},
    {"a translation without OPOST", 0, 0, ONLCR, ""},
    {"signals and extensions", ISIG | IEXTEN, 0, 0, "ISIG set, IEXTEN set"},
    {"input flags that always count", 0, IXOFF | INLCR | ISTRIP | INPCK | PARMRK, 0,
     "IXOFF set, INLCR set, ISTRIP set, INPCK set, PARMRK set"},
    {"everything at once, in the order of the report",
     ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN,
     IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP | INPCK | PARMRK | BRKINT, OPOST | ONLCR,
     "ICANON set, ECHO set, ECHOE set, ECHOK set, ECHONL set, ISIG set, IEXTEN set, IXON set, "
     "IXOFF set, IXANY set, ICRNL set, INLCR set, ISTRIP set, INPCK set, PARMRK set, BRKINT set, "
     "OPOST set"},
};

TEST(line_settings, only_flags_that_can_change_a_byte_are_reported) {
    for (const settings_case& c : settings_cases) {
        termios t = raw_line();
        t.c_lflag |= c.lflags;
        t.c_iflag |= c.iflags;
        t.c_oflag |= c.oflags;
        EXPECT_EQ(line_settings_problems(t), c.report) << c.what;
    }
}

TEST(line_settings, speed_and_framing_are_reported) {
    termios t = raw_line();
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B0);  // the same as the output speed
    EXPECT_EQ(line_settings_problems(t), "speed 9600");

    t = raw_line();
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | CREAD)) | CS7 | PARENB | CSTOPB;
    EXPECT_EQ(line_settings_problems(t), "CS7 set, PARENB set, CSTOPB set, CREAD clear");
}

// Reads wait for poll and writes must never block for good, and the COMMAND must not hold the
// line.
TEST(line, the_pseudo_terminal_is_non_blocking_and_kept_from_the_command) {
    int master = -1;
    std::string slave;
    std::string error;
    ASSERT_TRUE(open_pseudo_terminal(master, slave, error)) << error;
    EXPECT_NE(fcntl(master, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(master, F_GETFD) & FD_CLOEXEC, 0);
    close(master);
}

TEST(line, flags_that_cannot_be_set_are_an_error) {
    std::string error;
    EXPECT_FALSE(set_line_flags(-1, "the test line", error));
    EXPECT_EQ(error,
              std::string("cannot set FD_CLOEXEC on the test line: ") + std::strerror(EBADF));
}

// Linux has O_PATH: a descriptor that takes FD_CLOEXEC but not O_NONBLOCK. Elsewhere there is no
// such descriptor to try, and the test says so.
#ifdef O_PATH
constexpr int path_only = O_PATH;
#else
constexpr int path_only = 0;
#endif

TEST(line, a_line_that_cannot_be_made_non_blocking_is_an_error) {
    if (path_only == 0) {
        GTEST_SKIP() << "needs O_PATH (Linux), a descriptor that refuses O_NONBLOCK";
    }
    const int fd = open(".", path_only | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string error;
    EXPECT_FALSE(set_line_flags(fd, "the test line", error));
    EXPECT_EQ(error,
              std::string("cannot set O_NONBLOCK on the test line: ") + std::strerror(EBADF));
    close(fd);
}

}  // namespace
