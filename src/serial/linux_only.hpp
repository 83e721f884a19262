// Inside the Linux port backend: what only Linux has, in linux_only.cpp (the
// line settings through the kernel's termios2 record, the low-latency flag,
// the timer that signals one thread), and the guard of the ending signals
// (exit_signals.cpp). <asm/termbits.h> clashes with <termios.h>, so the
// termios2 calls live in a translation unit of their own behind this header.
// A backend for another Unix keeps serial_linux.cpp and exit_signals.cpp and
// gives these calls in a file of its own.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>

namespace pello {

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

// Creates timer on CLOCK_MONOTONIC to send signal_number to the calling
// thread alone (SIGEV_THREAD_ID), so that the signal interrupts that
// thread's blocking call: 0, or -1 with errno.
int thread_timer_create(int signal_number, timer_t& timer);

// The signal a thread timer sends to bound a drain. While a port is open its
// handler does nothing but interrupt the call it arrives in, so that one
// sent from outside ends nothing either.
constexpr int drain_signal = SIGALRM;

// From open_port to close_port: SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT,
// SIGUSR1 and SIGUSR2 put the port fd back and then end the program with the
// signal's default action (an ending signal the program ignores stays
// ignored), and drain_signal has its handler.
void exit_signals_guard(int fd);

// Gives the port fd back as it was found, and closes it: line_restore, the
// exclusive use given up, the lock released, fd closed; then the signals of
// exit_signals_guard get their earlier actions back, unless a newer port
// than fd is guarded. close_port ends a port this way; the ending signals'
// handler puts it back and closes it the same way before the program ends.
void port_put_back(int fd);

}  // namespace pello
