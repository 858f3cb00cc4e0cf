#include "tests/expectations.h"

#include <cstdio>

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
