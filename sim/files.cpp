#include "sim/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/device.h"

namespace {

bool write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool replace_with(const std::string& path, const void* data, std::size_t size, std::string& error) {
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write_all(fd, data, size);
    int saved_errno = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        error = "cannot write " + tmp + ": " + std::strerror(saved_errno);
        unlink(tmp.c_str());
        return false;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool load_image(const std::string& path, std::vector<std::uint8_t>& image, std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        return true;
    }
    if (fd < 0) {
        error = "cannot open image " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != static_cast<off_t>(image_size)) {
        error =
            "image " + path + " is not a file of exactly " + std::to_string(image_size) + " bytes";
        close(fd);
        return false;
    }
    std::size_t got = 0;
    while (got < image_size) {
        ssize_t n = read(fd, image.data() + got, image_size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = "cannot read image " + path + ": " +
                    (n < 0 ? std::strerror(errno) : "file shrank while reading");
            close(fd);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return true;
}

bool save_image(const std::string& path, const std::vector<std::uint8_t>& image,
                std::string& error) {
    return replace_with(path, image.data(), image.size(), error);
}

bool replace_file(const std::string& path, const std::string& text, std::string& error) {
    return replace_with(path, text.data(), text.size(), error);
}
