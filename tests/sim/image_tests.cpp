// The quillbox-sim program keeps its EEPROM image: a stop by any of the usual signals saves it, a
// failed save is an error, and the save goes whole into the file the name stands for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "sim/device.h"
#include "tests/process_helpers.h"

namespace {

const std::string sim = QUILLBOX_SIM_PATH;
const std::string erased(image_size, '\xFF');

// `data` at the start of an otherwise erased EEPROM.
std::string image_holding(const std::string& data) {
    return data + erased.substr(data.size());
}

// The simulator serving an image, and the far end of its port set raw, as the tool leaves it.
struct served_image {
    serving_process device;
    int far_end = -1;

    served_image(const std::string& image_path, const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {sim, "--image", image_path};
        argv.insert(argv.end(), options.begin(), options.end());
        device = start_serving(argv);
        far_end = open(device.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (far_end < 0 || tcgetattr(far_end, &t) != 0) {
            ADD_FAILURE() << "cannot open " << device.port;
            return;
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetospeed(&t, B115200);
        cfsetispeed(&t, B115200);
        EXPECT_EQ(tcsetattr(far_end, TCSANOW, &t), 0);
    }
    ~served_image() {
        if (far_end >= 0) {
            close(far_end);
        }
        if (device.process.pid > 0) {
            kill(device.process.pid, SIGKILL);
            finish_process(device.process, 10);
        }
    }
    served_image(const served_image&) = delete;
    served_image& operator=(const served_image&) = delete;

    // Sends `data` as one transfer's first bytes and waits for the answer to the last of them.
    void send(const std::string& data) {
        ASSERT_EQ(write(far_end, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        const std::string last_frame =
            std::string(1, static_cast<char>(data.size() - 1)) + std::string(3, '\0') + data.back();
        std::string seen;
        ASSERT_TRUE(read_until(far_end, seen, last_frame, 1, 10)) << "frames seen: " << seen.size();
    }

    // Signals the simulator and waits for it to end.
    run_result stop(int signal) {
        kill(device.process.pid, signal);
        run_result ended = finish_process(device.process, 10);
        device.process.pid = -1;
        return ended;
    }
};

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A closed terminal (SIGHUP), a kill (SIGTERM) and Ctrl-C (SIGINT) in the middle of a transfer:
// the simulator ends as asked, with status 0, and the image holds what the transfer stored.
TEST(image, a_stop_by_signal_mid_transfer_saves_the_image) {
    for (int signal : {SIGHUP, SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        scratch_directory dir;
        served_image served(dir.file("eeprom.img"));
        served.send("abc");
        const run_result ended = served.stop(signal);
        EXPECT_EQ(ended.status, 0) << ended.err;
        EXPECT_EQ(read_file(dir.file("eeprom.img")), image_holding("abc"));
    }
}

// The image cannot be saved (its folder does not exist): a message and status 3, even when the
// COMMAND succeeded.
TEST(image, a_failed_save_is_an_error) {
    scratch_directory dir;
    const std::string image = dir.file("missing/eeprom.img");

    const run_result with_command = run_process({sim, "--image", image, "--", "true"}, 10);
    EXPECT_EQ(with_command.status, 3);
    EXPECT_NE(with_command.err.find("quillbox-sim: cannot save the image: "), std::string::npos)
        << with_command.err;

    served_image served(image);
    served.send("x");
    const run_result stopped = served.stop(SIGTERM);
    EXPECT_EQ(stopped.status, 3);
    EXPECT_NE(stopped.err.find("quillbox-sim: cannot save the image: "), std::string::npos)
        << stopped.err;
}

// --image through a chain of symbolic links, one relative, one absolute: the image lands in the
// file at the end, which keeps its mode (read-only here), and the links stay links. Nothing else
// is left in either folder.
TEST(image, the_save_goes_into_the_linked_file_and_keeps_its_mode) {
    scratch_directory dir;
    std::filesystem::create_directory(dir.file("store"));
    const std::string target = dir.file("store/eeprom.img");
    write_file(target, image_holding("old"));
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    std::filesystem::create_symlink(target, dir.file("store/current.img"));
    std::filesystem::create_symlink("store/current.img", dir.file("link.img"));

    served_image served(dir.file("link.img"));
    served.send("new image");
    const run_result ended = served.stop(SIGTERM);
    EXPECT_EQ(ended.status, 0) << ended.err;

    EXPECT_EQ(read_file(target), image_holding("new image"));
    struct stat st {};
    ASSERT_EQ(lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0444U);
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("link.img")), "store/current.img");
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("store/current.img")), target);
    EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"link.img", "store"}));
    EXPECT_EQ(names_in(dir.file("store")), (std::set<std::string>{"current.img", "eeprom.img"}));
}

// The link on one file system and its file on another (/dev/shm is a file system of its own on
// Linux): a new file beside the link could not be renamed over the file, so the save must write
// it beside the file.
TEST(image, the_save_writes_beside_the_linked_file) {
    scratch_directory dir;
    struct stat here {};
    struct stat there {};
    if (stat(dir.path.c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 ||
        here.st_dev == there.st_dev) {
        GTEST_SKIP() << "needs /dev/shm on a file system other than " << dir.path;
    }
    struct removed_at_end {
        std::string path = "/dev/shm/quillbox-sim-test-XXXXXX";
        ~removed_at_end() {
            std::filesystem::remove_all(path);
        }
    } other;
    ASSERT_NE(mkdtemp(other.path.data()), nullptr);
    const std::string target = other.path + "/eeprom.img";
    std::filesystem::create_symlink(target, dir.file("link.img"));

    served_image served(dir.file("link.img"));
    served.send("far");
    const run_result ended = served.stop(SIGTERM);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(read_file(target), image_holding("far"));
    EXPECT_EQ(names_in(other.path), (std::set<std::string>{"eeprom.img"}));
}

// A save that breaks off halfway (the file size limit stops the write) leaves the old image as it
// was and no partial file beside it.
TEST(image, a_save_is_whole_or_nothing) {
    scratch_directory dir;
    const std::string image = dir.file("eeprom.img");
    write_file(image, image_holding("old"));
    // 64 blocks of 512 bytes: a quarter of the image. Ignored SIGXFSZ makes the write fail
    // instead of ending the simulator.
    const run_result ended =
        run_process({"sh", "-c", R"(ulimit -f 64 && trap '' XFSZ && exec "$@")", "sh", sim,
                     "--image", image, "--", "true"},
                    10);
    EXPECT_EQ(ended.status, 3);
    EXPECT_NE(ended.err.find(std::strerror(EFBIG)), std::string::npos) << ended.err;
    EXPECT_EQ(read_file(image), image_holding("old"));
    EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"eeprom.img"}));
}

// What is no image file is refused at start with status 2, and at once: a FIFO without a writer
// must not hold the open.
TEST(image, what_is_no_image_file_is_refused_at_start) {
    scratch_directory dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    write_file(dir.file("short.img"), "abc");
    for (const std::string& name : {dir.file("fifo"), dir.file("short.img"), dir.path}) {
        const run_result run = run_process({sim, "--image", name, "--", "true"}, 10);
        EXPECT_EQ(run.status, 2) << name;
        EXPECT_NE(run.err.find("is not a file of exactly 131072 bytes"), std::string::npos)
            << name << ": " << run.err;
    }
}

}  // namespace
