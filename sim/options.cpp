#include "sim/options.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

// Splits "--name=value" into name and value; other arguments come back whole.
void split_argument(const std::string& arg, std::string& name, std::string& value,
                    bool& has_value) {
    std::size_t eq = arg.find('=');
    has_value = arg.rfind("--", 0) == 0 && eq != std::string::npos;
    name = has_value ? arg.substr(0, eq) : arg;
    value = has_value ? arg.substr(eq + 1) : std::string();
}

constexpr std::uint64_t max_delay_us = 3600ULL * 1000000;  // an hour; more is surely a typo
constexpr std::uint64_t max_whole_number = std::numeric_limits<std::uint64_t>::max();

// A whole number from 0 to `limit`, in digits alone (strtoull would take a sign or blanks).
bool parse_whole_number(const std::string& text, std::uint64_t limit, std::uint64_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > limit) {
        return false;
    }
    out = value;
    return true;
}

std::string delay_range() {
    return "a whole number of microseconds from 0 to " + std::to_string(max_delay_us) +
           " (an hour)";
}

std::string whole_number_range() {
    return "a whole number from 0 to " + std::to_string(max_whole_number);
}

// "NAME needs WHAT, not 'VALUE'"
std::string refusal(const std::string& name, const std::string& what, const std::string& value) {
    return name + " needs " + what + ", not '" + value + "'";
}

struct fault_name {
    const char* name;
    fault_kind kind;
};

const fault_name fault_names[] = {
    {"echo", fault_kind::echo},           {"address", fault_kind::address},
    {"msb-first", fault_kind::msb_first}, {"extra-byte", fault_kind::extra_byte},
    {"cut-short", fault_kind::cut_short}, {"silence", fault_kind::silence},
    {"hangup", fault_kind::hangup},
};

// "KIND@INDEX", e.g. "echo@3".
bool parse_fault(const std::string& text, fault& out) {
    std::size_t at = text.find('@');
    if (at == std::string::npos) {
        return false;
    }
    std::string name = text.substr(0, at);
    for (const fault_name& f : fault_names) {
        if (name == f.name) {
            out.kind = f.kind;
            return parse_whole_number(text.substr(at + 1), max_whole_number, out.index);
        }
    }
    return false;
}

std::string fault_help(const std::string& value) {
    std::string kinds;
    for (const fault_name& f : fault_names) {
        kinds += kinds.empty() ? "" : ", ";
        kinds += f.name;
    }
    return "'" + value + "' is not a fault; use KIND@INDEX with KIND one of " + kinds +
           ", and INDEX " + whole_number_range();
}

}  // namespace

bool parse_options(int argc, char** argv, options& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            out.command.assign(argv + i + 1, argv + argc);
            if (out.command.empty()) {
                error = "'--' must be followed by a COMMAND";
                return false;
            }
            return true;
        }
        std::string name;
        std::string value;
        bool has_value;
        split_argument(arg, name, value, has_value);

        if (name == "--help" || name == "-h") {
            if (has_value) {
                error = name + " takes no value";
                return false;
            }
            out.help = true;
            continue;
        }
        if (name == "--line-rate") {
            if (has_value) {
                error = "--line-rate takes no value";
                return false;
            }
            out.line_rate = true;
            continue;
        }
        if (name != "--image" && name != "--fault" && name != "--latency-us" && name != "--port" &&
            name != "--stats" && name != "--jitter-us" && name != "--seed") {
            error = arg.rfind('-', 0) == 0 ? "unknown option '" + arg + "'"
                                           : "unexpected argument '" + arg + "'";
            return false;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (value.empty()) {
            error = name + " needs a value";
            return false;
        }

        if (name == "--image") {
            out.image_path = value;
        } else if (name == "--port") {
            out.port_path = value;
        } else if (name == "--stats") {
            out.stats_path = value;
        } else if (name == "--latency-us" || name == "--jitter-us") {
            std::uint64_t us = 0;
            if (!parse_whole_number(value, max_delay_us, us)) {
                error = refusal(name, delay_range(), value);
                return false;
            }
            (name == "--latency-us" ? out.latency_us : out.jitter_us) =
                static_cast<std::int64_t>(us);
        } else if (name == "--seed") {
            if (!parse_whole_number(value, max_whole_number, out.seed)) {
                error = refusal(name, whole_number_range(), value);
                return false;
            }
        } else {
            fault f{};
            if (!parse_fault(value, f)) {
                error = fault_help(value);
                return false;
            }
            out.faults.push_back(f);
        }
    }
    return true;
}

const char* usage_text() {
    return R"(Usage: quillbox-sim [OPTIONS] [-- COMMAND [ARGS...]]

Simulates a Quillbox, a device with a 128 KiB EEPROM on a serial line, on a
pseudo-terminal (or on a real serial port with --port), so that eeprom-writer
can run without hardware.

The device: for the n-th data byte of a transfer (n from 0) it stores the byte
at address n % 131072 and answers with a 5-byte frame: n as an unsigned 32-bit
number, least significant byte first (the full n, not reduced modulo 131072),
then the data byte itself. A transfer starts when the far end opens the port and
ends when it closes it; n starts at 0 for each transfer.

Options:
  --image FILE        The EEPROM image, exactly 131072 bytes. Loaded at start; a
                      missing file starts erased (all 0xFF), a file of any other
                      size is an error. Saved whenever a transfer ends and at
                      exit, into the file FILE stands for (symbolic links
                      followed), keeping its mode: written whole to a new file
                      in that file's folder, then renamed over it. Without
                      --image the image lives only in memory.
  --fault KIND@INDEX  Misbehave at data byte INDEX (from 0, up to
                      18446744073709551615) of every transfer. May be given more
                      than once. The byte is stored in every case; only the
                      answer is wrong. KIND is one of:
                        echo        right address, wrong echo (data XOR 0xFF)
                        address     wrong address (n + 1), right echo
                        msb-first   address sent most significant byte first
                        extra-byte  the right frame, then one extra byte 0x00
                        cut-short   the first 3 bytes of the right frame only;
                                    with hangup at the same INDEX, the device
                                    drops the line after them
                        silence     no frame; later bytes are served as usual
                        hangup      no frame; the device drops the line (the
                                    pseudo-terminal is closed, so the far end
                                    sees a hang-up), the transfer ends and the
                                    image is saved; then quillbox-sim exits, or
                                    with a COMMAND waits for it to end
  --latency-us N      Wait N microseconds before sending each frame (N from 0
                      to 3600000000, an hour).
  --jitter-us N       Wait a further 0 to N microseconds before each frame, at
                      random (uniformly), e.g. to soak the tool with uneven
                      answers (N from 0 to 3600000000).
  --seed N            Seed of the --jitter-us delays (default 1; N from 0 to
                      18446744073709551615): the same seed, the same delays.
  --line-rate         Take as long as 115,200 bit/s 8N1 would (86.8 us a byte)
                      in both directions: a data byte counts as complete one
                      byte time after it was read; the frame then goes out one
                      byte at a time, each one byte time after the one before
                      (after any --latency-us). About 521 us per data byte.
  --port PATH         Serve a real serial port (e.g. one wired by a null-modem
                      cable to the adapter of the tool) instead of a pseudo-
                      terminal: raw, 115,200 bit/s, 8N1, no check of the far
                      end's settings. A real line shows no open or close of the
                      far end, so a transfer ends when no data byte comes for
                      1 second.
  --stats FILE        When a transfer ends, write its timing to FILE (replacing
                      it), one "key value" per line:
                        data_bytes N            data bytes received
                        active_us U             first data byte read to last
                                                frame written
                        turnaround_median_us X  time from a frame written to
                        turnaround_p99_us Y     the next data byte read
                      (X and Y with one decimal; 0 when there are no samples).
  -h, --help          Show this text and exit.

Pseudo-terminal mode (without --port): before serving, the line is left with
settings worse than the system's defaults (canonical input, echo, signals,
XON/XOFF, CR/NL translation, 7 data bits, even parity, 2 stop bits, 9600 bit/s),
so each run proves that the tool sets the line up itself. (BSD systems, macOS
among them, reset a pseudo-terminal to their cooked 9600 bit/s 8N1 defaults
when it is next opened; the tool meets those there.) At the first data byte
of each transfer the settings are checked; anything not raw 115,200 bit/s 8N1 is
reported on one line.

Without a COMMAND the port's path is printed alone on one line on stdout, and
quillbox-sim serves transfers one after another until SIGINT, SIGTERM or SIGHUP.
With a COMMAND nothing at all is printed on stdout; COMMAND runs with each "{}"
in its arguments replaced by the port's path and inherits stdin, stdout and
stderr. quillbox-sim serves until COMMAND has ended and the transfer in progress
(if any) has ended. SIGINT, SIGTERM or SIGHUP is passed on to COMMAND as
SIGTERM. However it ends, the image is saved.

Messages on stderr:
  quillbox-sim: a Quillbox is listening on PATH; press Ctrl-C to stop
  quillbox-sim: serving on PATH                      (with a COMMAND)
  quillbox-sim: line settings are off: PROBLEM, ...
                                       (e.g. "speed 9600, ECHO set")
  quillbox-sim: port closed after N data bytes       (a transfer ended)
  quillbox-sim: hung up after N data bytes           (the hangup fault)
  quillbox-sim: line idle for 1 s; transfer ended after N data bytes  (--port)
  quillbox-sim: cannot run COMMAND: REASON
  quillbox-sim: cannot save the image: REASON
  and other errors, each starting with "quillbox-sim: ".

Exit status:
  0    ended by SIGINT, SIGTERM, SIGHUP or the hangup fault, without a COMMAND
  N    with a COMMAND: its exit status; 128 + the signal number if a signal
       ended it; 127 if it could not be run
  1    the line failed while serving, without a COMMAND
  2    wrong command line, or setup failed (no pseudo-terminal, what is no image
       file of the right size, a port that cannot be opened, no process for the
       COMMAND)
  3    the image could not be saved at the end, whatever the COMMAND's status
)";
}
