#include "tests/device_runs.h"

#include <cstdio>

#include "link/write_confirmation.h"

const std::string tool = EEPROM_WRITER_PATH;
const std::string sim = QUILLBOX_SIM_PATH;

const std::string banner =
    "EEPROM-Writer for Quillbox\t2011-07-02\r\n"
    "This tool writes a file to the external EEPROM of the Quillbox\r\n\r\n";
const std::string open_failure = "Failed to open specified serial port.\r\n";
const std::string not_found = "EEPROM-file not found.\n";
const std::string implausible =
    "Error: Implausible answer from Quillbox. Writing the EEPROM failed.\r\n";
const std::string no_answer = "Error: No answer from Quillbox. Writing the EEPROM failed.\r\n";

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

device_run run_on_device(const scratch_directory& dir, const std::vector<std::string>& command,
                         const std::vector<std::string>& sim_options) {
    std::vector<std::string> argv = {sim, "--image", dir.file("eeprom.img")};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    device_run run;
    run.result = run_process(argv);
    run.image = read_file(dir.file("eeprom.img"));
    return run;
}

device_run write_to_device(const scratch_directory& dir, const std::string& data,
                           const std::vector<std::string>& sim_options) {
    write_file(dir.file("data.bin"), data);
    return run_on_device(dir, {tool, "{}", dir.file("data.bin")}, sim_options);
}
