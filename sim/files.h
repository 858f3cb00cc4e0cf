// What quillbox-sim keeps on disk: the EEPROM image and the timing figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads the image from `path`; a missing file leaves `image` as it is (erased). Returns false
// with a message in `error` when the file cannot be read or is not exactly image_size bytes.
bool load_image(const std::string& path, std::vector<std::uint8_t>& image, std::string& error);

// Writes the image into the file `path` stands for, its symbolic links followed, keeping that
// file's mode. The image goes whole into a new file in the target's folder, which is then renamed
// over the target, so a reader never sees half an image and a failure leaves the old one. Returns
// false with a message in `error` on failure.
bool save_image(const std::string& path, const std::vector<std::uint8_t>& image,
                std::string& error);

// Replaces `path` the same way with `text`.
bool replace_file(const std::string& path, const std::string& text, std::string& error);
