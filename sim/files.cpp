#include "sim/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

constexpr int max_links = 40;  // as many as the kernel follows in a path

// The file `path` stands for at the end of its symbolic links, which may not exist yet.
bool follow_links(const std::string& path, std::string& target, std::string& error) {
    target = path;
    for (int links = 0; links <= max_links; ++links) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                return true;
            }
            error = "cannot look at " + target + ": " + std::strerror(errno);
            return false;
        }
        if (!S_ISLNK(st.st_mode)) {
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(target.c_str(), link, sizeof link);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof link) {
            error = "cannot read the link " + target + ": " +
                    std::strerror(n < 0 ? errno : ENAMETOOLONG);
            return false;
        }
        // A relative link is read from the link's own folder (none in `target`: the current one).
        target.erase(link[0] == '/' ? 0 : target.rfind('/') + 1);
        target.append(link, static_cast<std::size_t>(n));
    }
    error = "cannot follow " + path + ": " + std::strerror(ELOOP);
    return false;
}

// The mode the new file gets: the one the target has, or that of a new file.
mode_t mode_for(const std::string& target) {
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        return st.st_mode & 07777;
    }
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes a new file beside the target, then renames it over the target, so a reader never sees
// half of it; on failure the target stays as it was and the new file goes.
bool replace_with(const std::string& path, const void* data, std::size_t size, std::string& error) {
    std::string target;
    if (!follow_links(path, target, error)) {
        return false;
    }
    std::string tmp = target + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        error = "cannot write a file beside " + target + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, mode_for(target)) == 0 && write_all(fd, data, size);
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
    if (rename(tmp.c_str(), target.c_str()) != 0) {
        error = "cannot rename " + tmp + " to " + target + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool load_image(const std::string& path, std::vector<std::uint8_t>& image, std::string& error) {
    // Without waiting: a FIFO without a writer would hold the open for ever, and it is refused
    // below as no file like any other. Reads of a regular file ignore O_NONBLOCK.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
