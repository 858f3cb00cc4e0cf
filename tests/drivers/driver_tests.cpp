// The real tool through real Linux serial drivers: a small Linux guest under QEMU runs the static
// build of eeprom-writer on an 8250 UART (uart.*) and on an FTDI USB serial adapter (usb.*), both
// emulated by QEMU, whose far ends are quillbox-sim processes on the host. Each port has its own
// simulator, so each case is a transfer of its own: QEMU holds a port open for its whole life, and
// the simulator counts a transfer from open to close.
//
// One boot per driver runs every case of that driver (tests/drivers/init) and reports on the
// console; the tests here read that report, the simulators' images and messages, and for USB
// QEMU's trace of the control requests the adapter received.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/device_runs.h"

namespace {

const std::string guest_dir = GUEST_DIR;
const std::string qemu = QEMU_PATH;

constexpr std::size_t echo_fault_at = 100;
constexpr std::size_t silence_fault_at = 50;
// Slows the first writer's answers down, so that the looks at the line and the second writers
// happen while it runs (256 bytes, about 2 s).
const std::vector<std::string> slow_device = {"--latency-us", "8000"};

struct guest_run {
    bool reported = false;
    int status = -1;
    double elapsed = -1;
    std::string out;
};

struct boot_record {
    std::string failure;  // why the boot itself went wrong; empty when it ran
    std::string console;
    std::string trace;
    std::vector<std::string> device_logs;  // the simulators' stderr, one per port
    std::vector<std::string> images;
    std::map<std::string, std::string> report;  // "CASE KEY" -> the rest of its line

    std::string value(const std::string& case_key) const {
        auto found = report.find(case_key);
        return found == report.end() ? "" : found->second;
    }

    guest_run run(const std::string& name) const {
        guest_run r;
        const std::string result = value(name + " status");
        r.reported = !result.empty();
        if (r.reported) {
            std::istringstream fields(result);
            std::string word;
            fields >> r.status >> word >> r.elapsed;
        }
        const std::string hex = value(name + " out");
        for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
            r.out += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
        }
        return r;
    }
};

// The "@@ CASE KEY VALUE" lines of the console; the "out" lines of a case join up in order.
std::map<std::string, std::string> parse_report(const std::string& console) {
    std::map<std::string, std::string> report;
    std::istringstream lines(console);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line.rfind("@@ ", 0) != 0) {
            continue;
        }
        std::istringstream fields(line.substr(3));
        std::string name, key, rest;
        fields >> name >> key;
        std::getline(fields >> std::ws, rest);
        if (key == "out") {
            std::string hex;
            for (char c : rest) {
                if (c != ' ') {
                    hex += c;
                }
            }
            report[name + " out"] += hex;
        } else {
            report[name + " " + key] = rest;
        }
    }
    return report;
}

// Boots the guest for `bus` with one simulator per port, given their options in port order.
boot_record boot_guest(const std::string& bus, const std::vector<std::vector<std::string>>& ports) {
    boot_record record;
    scratch_directory dir;
    std::vector<spawned_process> devices;
    std::vector<std::string> qemu_argv = {qemu,
                                          "-accel",
                                          "tcg",
                                          "-m",
                                          "256",
                                          "-smp",
                                          "1",
                                          "-nodefaults",
                                          "-no-reboot",
                                          "-display",
                                          "none",
                                          "-kernel",
                                          guest_dir + "/kernel/vmlinux",
                                          "-initrd",
                                          guest_dir + "/initramfs.gz",
                                          "-append",
                                          "console=ttyS0 quiet panic=-1 guest_bus=" + bus,
                                          "-chardev",
                                          "file,id=console,path=" + dir.file("console.log"),
                                          "-serial",
                                          "chardev:console"};
    if (bus == "usb") {
        qemu_argv.insert(qemu_argv.end(), {"-device", "qemu-xhci,id=hc", "-trace", "usb_serial_*",
                                           "-D", dir.file("trace.log")});
    }
    for (std::size_t port = 0; port < ports.size(); ++port) {
        std::vector<std::string> argv = {sim, "--image",
                                         dir.file("port" + std::to_string(port) + ".img")};
        argv.insert(argv.end(), ports[port].begin(), ports[port].end());
        std::string path;
        try {
            serving_process device = start_serving(argv);
            devices.push_back(device.process);
            path = device.port;
        } catch (const std::exception& e) {
            record.failure = e.what();
            break;
        }
        // QEMU's host serial backend sets speed and framing, not the rest: the line has to be
        // raw before QEMU opens it, or the simulator reports flags that are not the guest's.
        const run_result raw = run_process({"stty", "-F", path, "raw", "-echo", "-echoe", "-echok",
                                            "-echonl", "-iexten", "-onlcr"});
        if (raw.status != 0) {
            record.failure = "stty could not set " + path + " raw: " + raw.err;
            break;
        }
        const std::string id = "line" + std::to_string(port);
        qemu_argv.insert(qemu_argv.end(), {"-chardev", "serial,id=" + id + ",path=" + path});
        if (bus == "uart") {
            qemu_argv.insert(qemu_argv.end(), {"-serial", "chardev:" + id});
        } else {
            qemu_argv.insert(qemu_argv.end(),
                             {"-device", "usb-serial,bus=hc.0,port=" + std::to_string(port + 1) +
                                             ",chardev=" + id + ",always-plugged=on"});
        }
    }
    if (record.failure.empty()) {
        const run_result guest = run_process(qemu_argv, 240);
        if (guest.status != 0) {
            record.failure = "QEMU ended with status " + std::to_string(guest.status) + "\n" +
                             guest.out + guest.err;
        }
    }
    for (spawned_process& device : devices) {
        kill(device.pid, SIGTERM);
        record.device_logs.push_back(finish_process(device, 10).err);
    }
    for (std::size_t port = 0; port < devices.size(); ++port) {
        record.images.push_back(read_file(dir.file("port" + std::to_string(port) + ".img")));
    }
    record.console = read_file(dir.file("console.log"));
    if (bus == "usb") {
        record.trace = read_file(dir.file("trace.log"));
    }
    record.report = parse_report(record.console);
    return record;
}

// Why the guest cannot run here, or empty.
std::string unavailable_reason() {
    const std::string reason = read_file(guest_dir + "/unavailable");
    if (!reason.empty()) {
        return reason;
    }
    if (access((guest_dir + "/initramfs.gz").c_str(), R_OK) != 0) {
        return "no guest in " + guest_dir + " (the test drivers_setup makes it)";
    }
    return "";
}

class driver_boot : public ::testing::Test {
protected:
    static std::map<std::string, boot_record>& records() {
        static std::map<std::string, boot_record> all;
        return all;
    }

    static void boot_once(const std::string& bus,
                          const std::vector<std::vector<std::string>>& ports) {
        if (unavailable_reason().empty() && records().count(bus) == 0) {
            records()[bus] = boot_guest(bus, ports);
        }
    }

    virtual std::string bus() const = 0;

    const boot_record& record() const {
        return records().at(bus());
    }

    void SetUp() override {
        const std::string reason = unavailable_reason();
        if (!reason.empty()) {
            if (every_test_must_run()) {
                FAIL() << "CI is \"true\": here the driver tests have to run, but " << reason;
            }
            GTEST_SKIP() << reason;
        }
        ASSERT_EQ(record().failure, "");
        ASSERT_EQ(record().report.count("guest finished"), 1u)
            << "the guest did not get to its end";
    }

    // A failed case shows what the guest and the devices said.
    void TearDown() override {
        if (!HasFailure() || records().count(bus()) == 0) {
            return;
        }
        const boot_record& r = record();
        std::cout << "---- guest console ----\n" << r.console << "\n";
        for (std::size_t port = 0; port < r.device_logs.size(); ++port) {
            std::cout << "---- quillbox-sim on port " << port + 1 << " ----\n"
                      << r.device_logs[port];
        }
        if (!r.trace.empty()) {
            std::cout << "---- QEMU trace, modem control and line settings ----\n";
            std::istringstream lines(r.trace);
            std::string line;
            while (std::getline(lines, line)) {
                if (line.find("0x4001") != std::string::npos ||
                    line.find("set_baud") != std::string::npos ||
                    line.find("set_data") != std::string::npos) {
                    std::cout << line << "\n";
                }
            }
        }
    }

    void expect_every_byte_run(const std::string& name, std::size_t port) {
        const guest_run run = record().run(name);
        ASSERT_TRUE(run.reported) << name;
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_EQ(run.out, written(256).out) << name;
        EXPECT_EQ(image_difference(record().images.at(port), image_after(every_byte_value())), "")
            << name;
    }

    // The settings and modem lines the driver reported for the tool's open port, mid-run.
    void expect_raw_line_with_dtr_off() {
        const std::string probe = record().value("plain probe");
        std::map<std::string, std::string> seen;
        std::istringstream words(probe);
        std::string word;
        while (words >> word) {
            const auto equals = word.find('=');
            if (equals != std::string::npos) {
                seen[word.substr(0, equals)] = word.substr(equals + 1);
            }
        }
        EXPECT_NE(probe.find("holder running"), std::string::npos)
            << "the tool was not running when the driver was asked: " << probe;
        const std::map<std::string, std::string> raw_115200_8n1 = {
            {"speed", "115200"}, {"csize", "8"}, {"parenb", "0"}, {"cstopb", "0"},
            {"icanon", "0"},     {"echo", "0"},  {"isig", "0"},   {"iexten", "0"},
            {"opost", "0"},      {"ixon", "0"},  {"ixoff", "0"},  {"icrnl", "0"},
            {"inlcr", "0"},      {"igncr", "0"}, {"istrip", "0"}, {"dtr", "0"}};
        for (const auto& [flag, value] : raw_115200_8n1) {
            EXPECT_EQ(seen[flag], value) << flag << " in: " << probe;
        }
        // What QEMU passed on to the host side of each line: speed, data bits, parity, stop bits.
        for (const std::string& log : record().device_logs) {
            EXPECT_EQ(log.find("line settings are off"), std::string::npos) << log;
        }
    }

    void expect_second_writer_refused(const std::string& name) {
        const guest_run second = record().run(name);
        ASSERT_TRUE(second.reported) << name;
        EXPECT_EQ(second.status, 1) << name;
        EXPECT_EQ(second.out, failed_before_any_byte(open_failure).out) << name;
    }

    void expect_faults_end_the_run() {
        struct fault_case {
            std::string name;
            std::size_t at;
        };
        for (const fault_case& c :
             {fault_case{"echo", echo_fault_at}, fault_case{"silence", silence_fault_at}}) {
            const guest_run run = record().run(c.name);
            ASSERT_TRUE(run.reported) << c.name;
            const expected_run expected = written(256, {c.name + "@" + std::to_string(c.at)});
            EXPECT_EQ(run.status, expected.status) << c.name;
            EXPECT_EQ(run.out, expected.out) << c.name;
            // A hang check: the answer bound is 2 s.
            EXPECT_LT(run.elapsed, 10) << c.name;
        }
    }
};

// ---- ttyS1-3 on an 8250 UART; ttyS0 is the console ----
class uart : public driver_boot {
protected:
    static void SetUpTestSuite() {
        boot_once("uart", {slow_device,
                           {"--fault", "echo@" + std::to_string(echo_fault_at)},
                           {"--fault", "silence@" + std::to_string(silence_fault_at)}});
    }
    std::string bus() const override {
        return "uart";
    }
};

TEST_F(uart, every_byte_value_reaches_the_device_unchanged) {
    expect_every_byte_run("plain", 0);
}

TEST_F(uart, the_driver_has_the_line_raw_at_115200_8n1_with_dtr_off_while_the_tool_runs) {
    expect_raw_line_with_dtr_off();
    // The driver's own account of the modem lines, read without opening the port.
    const std::string lines = record().value("plain uart-lines");
    EXPECT_EQ(lines.find("DTR"), std::string::npos) << lines;
}

TEST_F(uart, a_second_writer_is_refused_while_the_first_goes_on) {
    expect_second_writer_refused("second-user");  // stopped by TIOCEXCL
    expect_second_writer_refused("second-root");  // past TIOCEXCL, stopped by flock
    EXPECT_EQ(record().value("plain after-second"), "holder running");
    EXPECT_EQ(record().run("plain").status, 0);
}

TEST_F(uart, a_wrong_or_missing_answer_ends_the_run) {
    expect_faults_end_the_run();
}

// Output that flow control holds back must not hold the close for the driver's closing wait
// (30 s): the run ends within the answer bound and a little more.
TEST_F(uart, hardware_flow_control_left_on_with_cts_low_ends_the_run_in_time) {
    const std::string lines = record().value("crtscts uart-lines");
    ASSERT_EQ(lines.find("CTS"), std::string::npos) << "CTS is up, so nothing is held: " << lines;
    const guest_run run = record().run("crtscts");
    ASSERT_TRUE(run.reported);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, failed_before_any_byte(no_answer).out);
    EXPECT_LT(run.elapsed, 6);
}

// ---- ttyUSB0-3, FTDI adapters on ports 1-4 of an xHCI controller ----
class usb : public driver_boot {
protected:
    static void SetUpTestSuite() {
        boot_once("usb", {{},
                          slow_device,
                          {"--fault", "echo@" + std::to_string(echo_fault_at)},
                          {"--fault", "silence@" + std::to_string(silence_fault_at)}});
    }
    std::string bus() const override {
        return "usb";
    }

    // QEMU's trace lines of the adapter the guest set to 1200 bit/s before the tool ran.
    std::vector<std::string> plain_adapter_trace() const {
        std::istringstream lines(record().trace);
        std::vector<std::string> all;
        std::string line, device;
        while (std::getline(lines, line)) {
            all.push_back(line);
            const auto at = line.find(" baud rate 1200");
            if (device.empty() && at != std::string::npos && at + 15 == line.size()) {
                // " dev BUS:ADDRESS "
                const auto from = line.find(" dev ");
                device = line.substr(from, line.find(' ', from + 5) - from + 1);
            }
        }
        std::vector<std::string> mine;
        for (const std::string& l : all) {
            if (!device.empty() && l.find(device) != std::string::npos) {
                mine.push_back(l);
            }
        }
        return mine;
    }
};

TEST_F(usb, every_byte_value_reaches_the_device_unchanged) {
    expect_every_byte_run("plain", 1);
}

TEST_F(usb, the_driver_has_the_line_raw_at_115200_8n1_with_dtr_off_while_the_tool_runs) {
    expect_raw_line_with_dtr_off();

    // What reached the adapter. A modem control request (0x4001) holds a mask of the lines it
    // sets in its high byte (0x100 DTR, 0x200 RTS) and their levels in its low byte. The last
    // raise of DTR is the tool's open; after it the adapter must be set to 115,200 bit/s 8N1
    // (the nearest its divisor reaches) and see DTR alone dropped, and DTR never rise again.
    const std::vector<std::string> trace = plain_adapter_trace();
    ASSERT_FALSE(trace.empty()) << "no adapter was set to 1200 bit/s";
    std::size_t opened = trace.size();
    std::vector<int> controls;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const auto at = trace[i].find("got control 0x4001, value 0x");
        if (at != std::string::npos) {
            const int value = std::stoi(trace[i].substr(at + 28), nullptr, 16);
            if ((value & 0x101) == 0x101) {
                opened = i;
            }
        }
    }
    ASSERT_LT(opened, trace.size()) << "DTR never rose";
    std::string framing;
    long baud = 0;
    bool dtr_dropped_alone = false;
    for (std::size_t i = opened + 1; i < trace.size(); ++i) {
        const std::string& line = trace[i];
        if (line.find("set_data") != std::string::npos) {
            framing = line.substr(line.find("parity"));
        }
        if (line.find("set_baud") != std::string::npos) {
            baud = std::stol(line.substr(line.find("baud rate ") + 10));
        }
        const auto at = line.find("got control 0x4001, value 0x");
        if (at != std::string::npos) {
            const int value = std::stoi(line.substr(at + 28), nullptr, 16);
            if (value == 0x100 && !framing.empty() && baud != 0) {
                dtr_dropped_alone = true;
            }
        }
    }
    EXPECT_EQ(framing, "parity N, data bits 8, stop bits 1");
    EXPECT_NEAR(static_cast<double>(baud), 115200.0, 115200.0 * 0.03);
    EXPECT_TRUE(dtr_dropped_alone) << "after the open, DTR was not dropped once set up";
}

TEST_F(usb, a_second_writer_is_refused_while_the_first_goes_on) {
    // Only a user: root would pass TIOCEXCL and open the port, which raises DTR, and the trace
    // of DTR above has to show the first writer's alone.
    expect_second_writer_refused("second-user");
    EXPECT_EQ(record().value("plain after-second"), "holder running");
    EXPECT_EQ(record().run("plain").status, 0);
}

TEST_F(usb, a_wrong_or_missing_answer_ends_the_run) {
    expect_faults_end_the_run();
}

TEST_F(usb, the_port_name_in_lower_case_reaches_the_adapter) {
    EXPECT_EQ(record().value("guest ports").rfind("/dev/ttyUSB", 0), 0u);
    expect_every_byte_run("lower-case", 0);
}

}  // namespace
