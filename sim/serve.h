// Serving the line: the poll loop, the timing of answers, and the COMMAND.
#pragma once

#include <string>

#include "sim/device.h"
#include "sim/options.h"

// SIGINT and SIGTERM ask the loop to stop; SIGPIPE is ignored.
void install_signal_handlers();

// Serves `fd` (the pseudo-terminal master whose slave is `path`, or with --port the serial
// port) until SIGINT/SIGTERM, the hangup fault, or the end of the COMMAND; runs the COMMAND if
// there is one. Returns the exit status of quillbox-sim.
int serve(const options& opts, device_state& device, int fd, const std::string& path);
