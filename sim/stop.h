// Stopping on request. A signal handler can only leave a flag behind; this is where it lives.
#pragma once

// SIGINT, SIGTERM and SIGHUP ask the simulator to stop, which saves the image; SIGPIPE is
// ignored.
void install_signal_handlers();

// True once a stop has been asked for.
bool stop_requested();
