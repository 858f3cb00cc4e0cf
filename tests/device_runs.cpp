#include "tests/device_runs.h"

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
