// A fresh folder for the unit tests that run on every platform, removed with everything in it
// when the test ends. Only std::filesystem, so that it builds where the POSIX test helpers do not.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

struct scratch_folder {
    std::filesystem::path path;

    scratch_folder() {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        // A name that another run took already is simply drawn again.
        do {
            path = base / ("eeprom-writer-unit-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path));
    }
    ~scratch_folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    std::string file(const std::string& name) const {
        return (path / name).string();
    }
};

// Replaces the file's contents with exactly these bytes.
inline void put_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}
