// What only Linux has, of the port backend (linux_only.cpp): the kernel's
// termios2 record for the rates with no B constant (14400, 56000), the
// low-latency flag, ppoll's nanosecond wait and the timer that signals one
// thread. The rest of the backend (serial_posix.cpp, exit_signals.cpp) is the
// POSIX terminal interface. <asm/termbits.h> clashes with <termios.h>, so the
// termios2 calls live in a translation unit of their own behind this header.
// A backend for another Unix keeps the POSIX part and gives these calls in a
// file of its own; each says what that file would do. Last, what the POSIX
// backend's files give each other; nothing outside the backend sees them.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <poll.h>

namespace pello {

// Sets the line rate of fd, in and out, to rate through termios2 and BOTHER,
// its other settings as they are: 0, or -1 with errno (ENOSYS where the
// kernel has no termios2, as under qemu-user). Another Unix: the BSDs take
// any number in cfsetspeed, so the POSIX part sets every rate itself; where
// neither is there, a rate with no B constant is refused.
int line_set_custom_rate(int fd, std::int32_t rate);

// The output rate fd's line is set to, as a number from termios2 (what a
// speed code of BOTHER, a rate with no B constant, stands for): -1 with errno
// when it cannot be read. Another Unix: cfgetospeed gives the number itself (BSD).
long line_custom_rate(int fd);

// Keeps fd's termios2 record as found when its speed code is BOTHER (a line
// found at a rate with no B constant, which the standard record cannot
// hold); where the kernel gives no such record nothing is kept, and the
// standard one alone puts the line back.
// Another Unix: the standard record holds every rate; nothing to keep.
void line_keep_custom(int fd);

// Puts the record line_keep_custom kept back on fd, at once, and forgets it:
// true when one was kept. A port that refuses (hung up) is left as it is.
// A signal handler may call it: it makes only ioctl calls.
bool line_put_back_custom(int fd);

// Asks the driver not to hold received bytes back (low-latency mode, by
// TIOCGSERIAL/TIOCSSERIAL), where it supports that; a refusal is ignored.
// Whether it turned the flag on is kept for line_low_latency_off. Another
// Unix: no such flag; nothing to do.
void line_low_latency(int fd);

// Turns the low-latency flag off again on fd if line_low_latency turned it
// on, and forgets it. A signal handler may call it: it makes only ioctl
// calls.
void line_low_latency_off(int fd);

// Waits for the events of what on its descriptor until the deadline at the
// latest (ppoll, to the nanosecond): ppoll's result, what.revents set.
// Another Unix: poll with the time left in milliseconds, rounded up, so
// that the wait never ends before the deadline.
int wait_until(pollfd& what, std::chrono::steady_clock::time_point deadline);

// Creates timer on CLOCK_MONOTONIC to send signal_number to the calling
// thread alone (SIGEV_THREAD_ID), so that the signal interrupts that
// thread's blocking call: 0, or -1 with errno. Another Unix: a per-process
// POSIX timer (SIGEV_SIGNAL) with the signal blocked in every other thread,
// or a helper thread that sends the signal with pthread_kill, to interrupt
// tcdrain.
int thread_timer_create(int signal_number, timer_t& timer);

// Within the POSIX backend: what the port's line settings (serial_posix.cpp)
// and the guard of the ending signals (exit_signals.cpp) give each other.

// Puts back on fd what the line settings changed (the line as found, the
// low-latency flag off again if it was off), without waiting for output, and
// forgets them: the port is about to be closed. A port that refuses (hung up)
// is left as it is. A signal handler may call it too: it makes only tcsetattr
// and ioctl calls.
void line_restore(int fd);

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
