// Serving the line: the loops that watch it, and how each of them ends.
#pragma once

#include <string>

#include "sim/device.h"
#include "sim/options.h"

// Serves `fd` (the pseudo-terminal master whose slave is `path`, or with --port the serial
// port) until a stop is asked for, the hangup fault, or the end of the COMMAND; runs the COMMAND
// if there is one. Saves the image at the end. Returns the exit status of quillbox-sim: 3 when
// that last save failed, whatever else happened.
int serve(const options& opts, device_state& device, int fd, const std::string& path);
