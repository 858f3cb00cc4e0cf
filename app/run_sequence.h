// The run of the tool, from the banner to the exit status.
#pragma once

// Where the usage text sends readers for more information.
constexpr const char* information_address = "https://quillbox.example.org/eeprom-writer";

// Upper-cases a-z in place; every other byte stays as it is, whatever the locale.
void upper_case_in_place(char* text);

// The whole run: banner, usage or write, exit. Never returns.
[[noreturn]] void run_eeprom_writer(int argc, char** argv);
