#include "sim/stop.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t stop_flag = 0;

void request_stop(int /*signal*/) {
    stop_flag = 1;
}

}  // namespace

void install_signal_handlers() {
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    // No SA_RESTART: poll and waitpid must return so the loop sees the request.
    stop.sa_flags = 0;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    // A closed terminal: the image must not go down with it.
    sigaction(SIGHUP, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() {
    return stop_flag != 0;
}
