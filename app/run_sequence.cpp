#include "app/run_sequence.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/console.h"
#include "app/eeprom_file.h"
#include "link/serial_port.h"
#include "link/write_confirmation.h"

namespace {

[[noreturn]] void fail(const char* message) {
    std::printf("%s", message);
    std::exit(1);
}

void print_usage(const char* invocation_name) {
    std::printf("For more information visit: %s\r\n\r\n", information_address);
    std::printf("Usage: %s <port> <file>\r\n", invocation_name);
    std::printf("Example: %s COM1 eeprom.bin\r\n\r\n", invocation_name);
}

// Opens the EEPROM file, or ends the run with status 1: nothing has been sent yet.
std::FILE* open_eeprom_file_or_fail(const char* path) {
    std::FILE* file = nullptr;
    switch (open_eeprom_file(path, file)) {
        case eeprom_file_status::opened:
            return file;
        case eeprom_file_status::not_found:
            fail("EEPROM-file not found.\n");
        case eeprom_file_status::no_length:
            break;
    }
    fail("Error: Reading the EEPROM-file failed.\r\n");
}

// Feeds the file to the device, a byte and its confirmation at a time. The length is measured
// again before every byte, so a file that grows is followed and one that shrinks ends the loop.
void write_eeprom_file(port_handle port, std::FILE* file) {
    for (std::int32_t index = 0;; ++index) {
        const std::int64_t length = file_length(file);
        if (length < 0) {
            fail("Error: Reading the EEPROM-file failed.\r\n");
        }
        // Addresses are 32-bit signed; a longer file would wrap them.
        if (length > INT32_MAX) {
            fail("Error: EEPROM-file too large.\r\n");
        }
        if (index >= length) {
            return;
        }
        const int value = read_byte_at(file, index);
        if (value == byte_past_end) {
            return;  // the file shrank between measuring and reading
        }
        if (value == byte_unreadable) {
            fail("Error: Reading the EEPROM-file failed.\r\n");
        }
        const auto byte = static_cast<std::uint8_t>(value);
        send_byte(port, byte);
        await_confirmation(port, byte, index);
    }
}

}  // namespace

void upper_case_in_place(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') {
            *text = static_cast<char>(*text - 'a' + 'A');
        }
    }
}

void run_eeprom_writer(int argc, char** argv) {
    hold_standard_streams();
    make_console_output_immediate();
    std::printf("EEPROM-Writer for Quillbox\t2011-07-02\r\n");
    std::printf("This tool writes a file to the external EEPROM of the Quillbox\r\n\r\n");
    if (argc < 3) {
        print_usage(argc > 0 && argv[0] != nullptr ? argv[0] : "eeprom-writer");
        std::exit(0);
    }

    upper_case_in_place(argv[1]);
    const port_handle port = open_serial_port(argv[1]);
    std::FILE* file = open_eeprom_file_or_fail(argv[2]);
    write_eeprom_file(port, file);
    close_serial_port(port);
    std::exit(0);
}
