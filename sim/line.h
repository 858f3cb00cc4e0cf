// The line the Quillbox sits on: a pseudo-terminal, or a real serial port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct termios;

// Sets FD_CLOEXEC and O_NONBLOCK on the line `fd` (`name` for messages). Reads happen only
// after poll, and a write must not block for good on a far end that stopped reading. Returns
// false with a message in `error` when either cannot be set.
[[nodiscard]] bool set_line_flags(int fd, const std::string& name, std::string& error);

// Opens a pseudo-terminal whose slave side is left with bad settings (cooked, echoing,
// 7E2 at 9600 bit/s; on BSD systems, which reset it when it is next opened, their cooked
// defaults), so the tool has to set the line up itself. Returns false with a message in
// `error` on failure.
bool open_pseudo_terminal(int& master, std::string& slave_path, std::string& error);

// Opens a real serial port raw at 115,200 bit/s 8N1.
bool open_real_port(const std::string& path, int& fd, std::string& error);

// What is wrong with `t` for the Quillbox, e.g. "speed 9600, ECHO set"; empty when nothing is.
// Only flags that can change a byte, given the other flags, count.
std::string line_settings_problems(const termios& t);

// Prints the problems of the slave's settings, as seen through the master, if there are any.
void check_line_settings(int master);

// POLLHUP on a pseudo-terminal master: nobody has the slave open.
bool far_end_closed(int master);

// Writes `bytes` to the non-blocking line `fd`, waiting while the far end does not read. Gives
// up when the line fails or hangs up, or a stop is asked for: a missing frame is the far end's
// to notice.
void send_to_line(int fd, const std::uint8_t* bytes, std::size_t length);
