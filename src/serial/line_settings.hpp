// Internal to the serial port layer: the Linux line-setting calls that need
// the kernel's termios2 record. <asm/termbits.h> clashes with <termios.h>, so
// they live in a translation unit of their own behind this header.
#pragma once

#include <cstdint>

namespace pello {

inline constexpr int line_get_failed = -12;  // current settings not readable
inline constexpr int line_set_failed = -13;  // settings or rate not accepted

// Sets fd to raw 8-bit data, 8 data bits, no parity, 1 stop bit, receiver on,
// modem control lines ignored, no RTS/CTS and no XON/XOFF flow control, at
// rate (any rate, the non-standard ones through BOTHER). Reads return at once
// with what is there (the port is non-blocking). Returns 0, or
// line_get_failed / line_set_failed with errno telling why. The settings it
// found on the port's first setting are kept for line_restore.
int line_set_8n1(int fd, std::int32_t rate);

// Holds DTR and RTS off. A port that refuses (a pseudo-terminal) is left as
// it is.
void line_modem_lines_off(int fd);

// Asks the driver not to hold received bytes back (low-latency mode), where
// it supports that; a refusal is ignored. Whether it turned the flag on is
// kept for line_restore.
void line_low_latency(int fd);

// Puts back on fd what line_set_8n1 and line_low_latency changed (the line
// settings as found, the low-latency flag off again if it was off), without
// waiting for output, and forgets them: the port is about to be closed. A
// port that refuses (hung up) is left as it is.
// A signal handler may call it too: it makes only ioctl calls.
void line_restore(int fd);

// From open_port to close_port: SIGINT, SIGTERM, SIGHUP and SIGPIPE put the
// port fd back as close_port does (line_restore, exclusive use given up, fd
// closed) and then end the program with the signal's default action. A
// signal the program ignores stays ignored. exit_signals_release gives the
// signals their earlier actions back once fd is closed; for any other fd it
// does nothing (a newer port is guarded).
void exit_signals_guard(int fd);
void exit_signals_release(int fd);

}  // namespace pello
