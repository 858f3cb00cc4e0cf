#include "app/run_sequence.h"

#include <sys/stat.h>

#include <cstdlib>

#include "app/console.h"
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

// Opens the file for binary reading. A file that cannot be opened, or a directory (which some C
// libraries open but cannot read), ends the run with status 1.
std::FILE* open_eeprom_file(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    struct stat status {};
    if (file == nullptr || fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
        fail("EEPROM-file not found.\n");
    }
    // Every byte is fetched by positioning and a one-byte read, right after the length was
    // measured at the end of the file: a buffer would only be thrown away and refilled with a
    // whole block for each byte.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
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

std::int64_t file_length(std::FILE* stream) {
    const off_t position = ftello(stream);
    if (position < 0 || fseeko(stream, 0, SEEK_END) != 0) {
        return -1;
    }
    const off_t length = ftello(stream);
    if (fseeko(stream, position, SEEK_SET) != 0) {
        return -1;
    }
    return length;
}

int read_byte_at(std::FILE* stream, std::int32_t index) {
    if (fseeko(stream, index, SEEK_SET) != 0) {
        return byte_unreadable;
    }
    const int value = std::fgetc(stream);
    if (value != EOF) {
        return value;
    }
    return std::ferror(stream) != 0 ? byte_unreadable : byte_past_end;
}

void upper_case_in_place(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') {
            *text = static_cast<char>(*text - 'a' + 'A');
        }
    }
}

void run_eeprom_writer(int argc, char** argv) {
    make_console_output_immediate();
    std::printf("EEPROM-Writer for Quillbox\t2011-07-02\r\n");
    std::printf("This tool writes a file to the external EEPROM of the Quillbox\r\n\r\n");
    if (argc < 3) {
        print_usage(argc > 0 && argv[0] != nullptr ? argv[0] : "eeprom-writer");
        std::exit(0);
    }

    upper_case_in_place(argv[1]);
    const port_handle port = open_serial_port(argv[1]);
    std::FILE* file = open_eeprom_file(argv[2]);
    write_eeprom_file(port, file);
    close_serial_port(port);
    std::exit(0);
}
