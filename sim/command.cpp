#include "sim/command.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "sim/stop.h"

namespace {

int exit_status_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return WEXITSTATUS(wait_status);
}

void note_end(command_run& run, int status) {
    run.pid = -1;
    run.ended = true;
    run.status = status;
}

}  // namespace

bool start_command(const std::vector<std::string>& command, const std::string& port,
                   command_run& run) {
    std::vector<std::string> args = command;
    for (std::string& arg : args) {
        for (std::size_t at = arg.find("{}"); at != std::string::npos;
             at = arg.find("{}", at + port.size())) {
            arg.replace(at, 2, port);
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
    run.pid = pid;
    return true;
}

bool command_ended(command_run& run) {
    int status;
    if (run.pid > 0 && waitpid(run.pid, &status, WNOHANG) == run.pid) {
        note_end(run, exit_status_of(status));
    }
    return run.ended;
}

int wait_for_command(command_run& run) {
    bool forwarded = false;
    // Looked at every 50 ms rather than waited for in waitpid: a stop signal that came between
    // the look at the stop request and a blocking waitpid would be handled, and never passed on.
    while (run.pid > 0) {
        if (stop_requested() && !forwarded) {
            kill(run.pid, SIGTERM);
            forwarded = true;
        }
        int status;
        pid_t r = waitpid(run.pid, &status, WNOHANG);
        if (r == run.pid) {
            note_end(run, exit_status_of(status));
        } else if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "quillbox-sim: lost the COMMAND: %s\n", std::strerror(errno));
            note_end(run, 1);
        } else {
            poll(nullptr, 0, 50);
        }
    }
    return run.status;
}
