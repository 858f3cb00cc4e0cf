// The COMMAND that quillbox-sim runs on the port it serves.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct command_run {
    pid_t pid = -1;      // while it runs
    bool ended = false;  // never, when there is no COMMAND
    int status = 0;      // once it has ended: its exit status, or 128 + the signal that ended it
};

// Starts `command` with each "{}" in it replaced by `port`. Returns false, with a message on
// stderr, when it cannot be started.
bool start_command(const std::vector<std::string>& command, const std::string& port,
                   command_run& run);

// True once the COMMAND has ended; does not wait for it.
bool command_ended(command_run& run);

// Waits until the COMMAND has ended, passing a stop request on to it as SIGTERM. Returns its
// status.
int wait_for_command(command_run& run);
