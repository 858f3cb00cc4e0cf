// Runs inside the driver tests' guest, next to busybox, for what busybox cannot do:
//
//   guest-helper run [--uid N] OUT PROGRAM [ARGS...]
//       Runs PROGRAM with its stdout in the file OUT (as user N if given) and prints
//       "status S elapsed E": its exit status (128 + signal when killed) and the seconds it
//       took, monotonic. It is killed after 60 s, so a hang still ends the boot.
//   guest-helper probe DEVICE
//       Waits until some process holds DEVICE open, then prints the line settings and modem
//       lines that the driver reports for that open file, and whether the process still holds
//       it afterwards. It borrows the file with pidfd_getfd instead of opening DEVICE: any new
//       open of a serial port raises DTR.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

double now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int run(int argc, char** argv) {
    int arg = 2;
    long uid = -1;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--uid") == 0) {
        uid = std::strtol(argv[arg + 1], nullptr, 10);
        arg += 2;
    }
    if (arg + 2 > argc) {
        std::fprintf(stderr, "guest-helper run: OUT and PROGRAM needed\n");
        return 2;
    }
    const char* out_path = argv[arg];
    char** program = argv + arg + 1;

    const double start = now_seconds();
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || dup2(out, 1) < 0 || dup2(in, 0) < 0) {
            _exit(126);
        }
        if (uid >= 0 &&
            (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) {
            _exit(126);
        }
        execvp(program[0], program);
        _exit(127);
    }
    if (child < 0) {
        return 2;
    }
    int status = 0;
    double deadline = start + 60;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            break;
        }
        if (now_seconds() > deadline) {
            kill(child, SIGKILL);
            deadline += 3600;
        }
        usleep(1000);
    }
    const double elapsed = now_seconds() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("status %d elapsed %.3f\n", code, elapsed);
    return 0;
}

// The process (other than this one) and descriptor that hold `device` open; false if none.
bool find_holder(const std::string& device, pid_t& pid, int& fd) {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return false;
    }
    bool found = false;
    while (dirent* process = readdir(processes)) {
        const long id = std::strtol(process->d_name, nullptr, 10);
        if (id <= 0 || id == getpid()) {
            continue;
        }
        const std::string fds = std::string("/proc/") + process->d_name + "/fd";
        DIR* descriptors = opendir(fds.c_str());
        if (descriptors == nullptr) {
            continue;
        }
        while (dirent* descriptor = readdir(descriptors)) {
            char target[256] = {};
            const std::string link = fds + "/" + descriptor->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 && device == target) {
                pid = static_cast<pid_t>(id);
                fd = std::atoi(descriptor->d_name);
                found = true;
                break;
            }
        }
        closedir(descriptors);
        if (found) {
            break;
        }
    }
    closedir(processes);
    return found;
}

bool still_holds(pid_t pid, int fd, const std::string& device) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    return readlink(link.c_str(), target, sizeof target - 1) > 0 && device == target;
}

int bit(tcflag_t flags, tcflag_t which) {
    return (flags & which) != 0 ? 1 : 0;
}

int probe(const std::string& device) {
    pid_t pid = -1;
    int remote_fd = -1;
    const double deadline = now_seconds() + 10;
    while (!find_holder(device, pid, remote_fd)) {
        if (now_seconds() > deadline) {
            std::printf("holder none\n");
            return 0;
        }
        usleep(2000);
    }
    // The holder sets the line up right after its open; give it time to do so.
    usleep(500000);

    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const int fd = pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, remote_fd, 0));
    termios settings{};
    int lines = 0;
    if (fd < 0 || tcgetattr(fd, &settings) != 0 || ioctl(fd, TIOCMGET, &lines) != 0) {
        std::printf("holder unreadable %s\n", std::strerror(errno));
        return 0;
    }
    int csize = 0;
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            csize = 5;
            break;
        case CS6:
            csize = 6;
            break;
        case CS7:
            csize = 7;
            break;
        default:
            csize = 8;
            break;
    }
    const speed_t speed = cfgetospeed(&settings);
    std::printf(
        "termios speed=%s csize=%d parenb=%d cstopb=%d crtscts=%d icanon=%d echo=%d isig=%d "
        "iexten=%d opost=%d ixon=%d ixoff=%d icrnl=%d inlcr=%d igncr=%d istrip=%d\n",
        speed == B115200 ? "115200"
        : speed == B9600 ? "9600"
                         : "other",
        csize, bit(settings.c_cflag, PARENB), bit(settings.c_cflag, CSTOPB),
        bit(settings.c_cflag, CRTSCTS), bit(settings.c_lflag, ICANON), bit(settings.c_lflag, ECHO),
        bit(settings.c_lflag, ISIG), bit(settings.c_lflag, IEXTEN), bit(settings.c_oflag, OPOST),
        bit(settings.c_iflag, IXON), bit(settings.c_iflag, IXOFF), bit(settings.c_iflag, ICRNL),
        bit(settings.c_iflag, INLCR), bit(settings.c_iflag, IGNCR), bit(settings.c_iflag, ISTRIP));
    std::printf("modem dtr=%d rts=%d\n", (lines & TIOCM_DTR) != 0 ? 1 : 0,
                (lines & TIOCM_RTS) != 0 ? 1 : 0);
    close(fd);
    std::printf("holder %s\n", still_holds(pid, remote_fd, device) ? "running" : "gone");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
        return run(argc, argv);
    }
    if (argc == 3 && std::strcmp(argv[1], "probe") == 0) {
        return probe(argv[2]);
    }
    std::fprintf(stderr,
                 "usage: guest-helper run [--uid N] OUT PROGRAM [ARGS...]\n"
                 "       guest-helper probe DEVICE\n");
    return 2;
}
