#include "tests/expectations.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "tests/process_helpers.h"

const std::string banner =
    "EEPROM-Writer for Quillbox\t2011-07-02\r\n"
    "This tool writes a file to the external EEPROM of the Quillbox\r\n\r\n";
const std::string open_failure = "Failed to open specified serial port.\r\n";
const std::string not_found = "EEPROM-file not found.\n";
const std::string read_failure = "Error: Reading the EEPROM-file failed.\r\n";
const std::string too_large = "Error: EEPROM-file too large.\r\n";
const std::string implausible =
    "Error: Implausible answer from Quillbox. Writing the EEPROM failed.\r\n";
const std::string no_answer = "Error: No answer from Quillbox. Writing the EEPROM failed.\r\n";

std::string usage_text(const std::string& invocation) {
    return "For more information visit: https://quillbox.example.org/eeprom-writer\r\n\r\n"
           "Usage: " +
           invocation +
           " <port> <file>\r\n"
           "Example: " +
           invocation + " COM1 eeprom.bin\r\n\r\n";
}

std::string every_byte_value() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::string progress_line(std::size_t address) {
    // The figure scales the address to the highest one of the EEPROM, not to the file.
    const double figure =
        static_cast<double>(address) * 100.0 / static_cast<double>(image_size - 1);
    char line[64];
    std::snprintf(line, sizeof line, "Writing to EEPROM... %07.3f%%\r", figure);
    return line;
}

std::string progress_lines(std::size_t count) {
    std::string lines;
    for (std::size_t address = 0; address < count; ++address) {
        lines += progress_line(address);
    }
    return lines;
}

expected_run failed_before_any_byte(const std::string& message) {
    return {banner + message, 1, 0, ""};
}

namespace {

// The run ends at a byte the device did not confirm rightly.
expected_run ended(std::size_t confirmed, std::size_t sent, const std::string& message,
                   const std::string& device_end) {
    return {banner + progress_lines(confirmed) + message, 1, sent, device_end};
}

}  // namespace

expected_run written(std::size_t size, const std::vector<std::string>& faults) {
    const std::vector<std::string> kinds = {"echo",      "address", "msb-first", "extra-byte",
                                            "cut-short", "silence", "hangup"};
    for (const std::string& fault : faults) {
        if (std::find(kinds.begin(), kinds.end(), fault.substr(0, fault.find('@'))) ==
            kinds.end()) {
            throw std::invalid_argument("no model for the fault " + fault);
        }
    }
    const auto at = [&faults](const std::string& kind, std::size_t index) {
        return std::find(faults.begin(), faults.end(), kind + "@" + std::to_string(index)) !=
               faults.end();
    };
    for (std::size_t i = 0; i < size; ++i) {
        // No frame, or only part of one, whether the device then stays on the line or drops it.
        const bool hangup = at("hangup", i);
        if (hangup || at("silence", i) || at("cut-short", i)) {
            return ended(i, i + 1, no_answer, hangup ? "hung up" : "port closed");
        }
        // Address 0 reads the same in either byte order.
        if (at("echo", i) || at("address", i) || (at("msb-first", i) && i != 0)) {
            return ended(i, i + 1, implausible, "port closed");
        }
        // The extra byte opens the next frame, which then carries a wrong address; after the
        // last frame it is never read.
        if (at("extra-byte", i) && i + 1 < size) {
            return ended(i + 1, i + 2, implausible, "port closed");
        }
    }
    return {banner + progress_lines(size), 0, size, "port closed"};
}

std::string in_text_mode(const std::string& out) {
    std::string text;
    for (const char c : out) {
        text += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return text;
}

expected_run in_text_mode(expected_run expected) {
    expected.out = in_text_mode(expected.out);
    return expected;
}

namespace {

device_case whole(const std::string& name, const std::string& data) {
    return {name, data, {}, written(data.size())};
}

device_case faulty(const std::string& data, const std::vector<std::string>& faults) {
    device_case c{"", data, {}, written(data.size(), faults)};
    for (const std::string& fault : faults) {
        c.name += (c.name.empty() ? "" : " ") + fault;
        c.sim_options.insert(c.sim_options.end(), {"--fault", fault});
    }
    return c;
}

}  // namespace

std::vector<device_case> writing_cases() {
    const std::string every_value = every_byte_value();
    return {
        whole("empty", ""),
        whole("one byte", "\x5A"),
        whole("every byte value, up and down",
              every_value + std::string(every_value.rbegin(), every_value.rend())),
        whole("exactly the EEPROM", pseudo_random_bytes(image_size, 1)),
        whole("one byte more than the EEPROM", pseudo_random_bytes(image_size + 1, 2)),
        // Well within the tool's bound of 2 s for each answer.
        {"answers that take half a second",
         pseudo_random_bytes(3, 8),
         {"--latency-us", "500000"},
         written(3)},
        faulty(pseudo_random_bytes(8, 4), {"extra-byte@7"}),
    };
}

std::vector<device_case> fault_cases() {
    const std::string data = pseudo_random_bytes(16, 3);
    return {
        faulty(data, {"echo@5"}),        // a wrong echo
        faulty(data, {"address@0"}),     // a wrong address at the first byte
        faulty(data, {"msb-first@1"}),   // the address in the wrong byte order
        faulty(data, {"extra-byte@4"}),  // a frame too long
        faulty(data, {"silence@3"}),     // no frame
        faulty(data, {"hangup@2"}),      // no frame, and the line dropped
        faulty(data, {"cut-short@3"}),   // part of a frame
        faulty(data, {"cut-short@2", "hangup@2"}),
    };
}

std::string image_after(const std::string& data) {
    std::string image(image_size, '\xFF');
    for (std::size_t address = 0; address < data.size(); ++address) {
        image[address % image_size] = data[address];
    }
    return image;
}

std::string image_difference(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return "";
    }
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    char where[160];
    std::snprintf(
        where, sizeof where, "%zu bytes, expected %zu; first difference at %zu: %s, expected %s",
        actual.size(), expected.size(), at,
        at < actual.size() ? std::to_string(static_cast<unsigned char>(actual[at])).c_str() : "end",
        at < expected.size() ? std::to_string(static_cast<unsigned char>(expected[at])).c_str()
                             : "end");
    return where;
}

std::string device_report(const std::string& how, std::size_t data_bytes) {
    return how + " after " + std::to_string(data_bytes) + " data bytes";
}
