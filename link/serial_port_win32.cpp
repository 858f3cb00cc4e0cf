// The serial port on Windows: the Win32 communications calls, with reads that never wait.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/port_name.h"
#include "link/serial_port.h"
#include "link/write_confirmation.h"

namespace {

[[noreturn]] void fail(const char* message) {
    std::printf("%s", message);
    std::exit(1);
}

HANDLE to_handle(port_handle port) {
    return reinterpret_cast<HANDLE>(port);
}

// 115,200 bit/s 8N1, DTR off, and the port never paces its input with XON/XOFF. The switches
// that would swallow, strip or replace received bytes are turned off too: a frame may carry any
// byte value, 0x00, 0x11 and 0x13 included, and a port left with XON/XOFF output control on (as a
// fresh pseudo-terminal under Wine is) would eat them. Abort-on-error goes as well: once set, one
// framing or overrun error makes every later read fail until the error is cleared, and the run
// would end "No answer" with the frame waiting in the queue. Every other field stays as read.
bool configure_line(HANDLE handle, DCB& settings) {
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fDtrControl = DTR_CONTROL_DISABLE;
    settings.fInX = 0;
    settings.fOutX = 0;
    settings.fNull = 0;
    settings.fErrorChar = 0;
    settings.fAbortOnError = 0;
    if (!SetCommState(handle, &settings)) {
        return false;
    }
    // MAXDWORD between bytes with both total terms zero makes ReadFile return at once with what
    // has arrived; the caller does the waiting.
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts)) {
        return false;
    }
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    // Write time-outs of 0 and 0 mean none at all: output stopped by CTS or XOFF would hold
    // WriteFile for ever. Bound it by the answer time-out, so that the missing frame ends the
    // run. Time-outs that the port already had are kept.
    if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0) {
        timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(answer_timeout_ms);
    }
    return SetCommTimeouts(handle, &timeouts) != 0;
}

}  // namespace

port_handle open_serial_port(const char* name) {
    const std::string path = resolve_port_name(name);
    // No sharing: nobody else may open the port while the EEPROM is written.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    DCB settings{};
    settings.DCBlength = sizeof settings;
    // Reading the line settings is what tells a serial port from an ordinary file; on an
    // invalid handle it simply fails.
    const BOOL is_serial_port = GetCommState(handle, &settings);
    if (!is_serial_port || handle == INVALID_HANDLE_VALUE) {
        fail("Failed to open specified serial port.\r\n");
    }
    if (!configure_line(handle, settings)) {
        fail("Failed to configure specified serial port.\r\n");
    }
    return reinterpret_cast<port_handle>(handle);
}

void send_byte(port_handle port, std::uint8_t byte) {
    // A byte that does not go out within the write time-out shows in the missing confirmation.
    DWORD written = 0;
    WriteFile(to_handle(port), &byte, 1, &written, nullptr);
}

int receive_bytes(port_handle port, std::uint8_t* buffer, int most) {
    // Only the count matters: with the read time-outs set at open, nothing there is no error.
    DWORD count = 0;
    ReadFile(to_handle(port), buffer, static_cast<DWORD>(most), &count, nullptr);
    return static_cast<int>(count);
}

std::int64_t monotonic_milliseconds() {
    return static_cast<std::int64_t>(GetTickCount64());
}

bool wait_for_input(port_handle /*port*/, std::int64_t deadline_ms) {
    // Reads return at once, so there is nothing to block on: the caller polls until the deadline.
    return monotonic_milliseconds() < deadline_ms;
}

void discard_unsent_output(port_handle port) {
    // Output held back by flow control could otherwise keep the driver busy past the close.
    PurgeComm(to_handle(port), PURGE_TXABORT | PURGE_TXCLEAR);
}

void close_serial_port(port_handle port) {
    if (!CloseHandle(to_handle(port))) {
        fail("Failed to close serial port.\r\n");
    }
}
