#include "app/run_sequence.h"

int main(int argc, char** argv) {
    run_eeprom_writer(argc, argv);
}
