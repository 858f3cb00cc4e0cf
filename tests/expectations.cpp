#include "tests/expectations.h"

#include <cstdio>

#include "link/write_confirmation.h"

std::string every_byte_value() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::string progress_lines(std::size_t count) {
    std::string lines;
    for (std::size_t index = 0; index < count; ++index) {
        char line[64];
        format_progress_line(static_cast<std::int32_t>(index), line, sizeof line);
        lines += line;
    }
    return lines;
}

std::string image_after(const std::string& data) {
    std::string image(eeprom_size, '\xFF');
    for (std::size_t address = 0; address < data.size(); ++address) {
        image[address % eeprom_size] = data[address];
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
