// Stopping on request. A signal handler can only leave a flag behind; this is where it lives.
#pragma once

// SIGINT and SIGTERM ask the simulator to stop; SIGPIPE is ignored.
void install_signal_handlers();

// True once a stop has been asked for.
bool stop_requested();
