// Progress lines worked out by hand from the rule (the address as a percentage of the highest
// address, 131071, three decimals, zero-padded to seven characters): they pin both the tool's
// formatter and the tests' own statement of the rule.
#pragma once

#include <cstdint>

struct progress_figure {
    std::int32_t address;
    const char* line;
};

inline constexpr progress_figure progress_figures[] = {
    {0, "Writing to EEPROM... 000.000%\r"},      {1, "Writing to EEPROM... 000.001%\r"},
    {65535, "Writing to EEPROM... 050.000%\r"},  {131071, "Writing to EEPROM... 100.000%\r"},
    {131072, "Writing to EEPROM... 100.001%\r"}, {1310710, "Writing to EEPROM... 1000.000%\r"},
};
