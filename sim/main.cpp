// quillbox-sim: a Quillbox on a pseudo-terminal (or a real serial port), so that eeprom-writer
// and its tests run without hardware.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/line.h"
#include "sim/options.h"
#include "sim/serve.h"
#include "sim/stop.h"

namespace {

// A caller may start us with standard streams closed. The pseudo-terminal's master would then
// take one of those numbers, and our own messages would go down the line to the tool as answers.
bool hold_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!hold_standard_streams()) {
        return 2;
    }
    options opts;
    std::string error;
    if (!parse_options(argc, argv, opts, error)) {
        std::fprintf(stderr, "quillbox-sim: %s\nTry 'quillbox-sim --help' for more.\n",
                     error.c_str());
        return 2;
    }
    if (opts.help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }

    device_state device;
    device.faults = opts.faults;
    if (!opts.image_path.empty() && !load_image(opts.image_path, device.image, error)) {
        std::fprintf(stderr, "quillbox-sim: %s\n", error.c_str());
        return 2;
    }

    install_signal_handlers();
    int fd;
    std::string path = opts.port_path;
    bool opened =
        path.empty() ? open_pseudo_terminal(fd, path, error) : open_real_port(path, fd, error);
    if (!opened) {
        std::fprintf(stderr, "quillbox-sim: %s\n", error.c_str());
        return 2;
    }
    return serve(opts, device, fd, path);
}
