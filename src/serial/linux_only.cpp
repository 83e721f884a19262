// What only Linux has of the port backend: the rates with no B constant
// through the kernel's termios2 record, the low-latency flag, ppoll's wait,
// the timer that signals one thread. This file must not include <termios.h>:
// its struct termios and constants clash with the kernel's <asm/termbits.h>.
#include "serial/linux_only.hpp"

#include "serial/serial.hpp"

#include <asm/termbits.h>
#include <atomic>
#include <csignal>
#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The thread a SIGEV_THREAD_ID timer signals; newer C libraries name it so.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace pello {

namespace {

// What this part changed on the open port, as it was before: one port is
// open at a time. The ending signals' handler reads them too: each record is
// written whole before the flag that says it is there, and read only after
// the flag.
struct termios2 found_custom {};
volatile std::sig_atomic_t have_found_custom = 0;
volatile std::sig_atomic_t low_latency_set = 0;

}  // namespace

int line_set_custom_rate(int fd, std::int32_t rate)
{
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0)
        return -1;
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER;
    line.c_ispeed = static_cast<speed_t>(rate);
    line.c_ospeed = static_cast<speed_t>(rate);
    return ioctl(fd, TCSETS2, &line);
}

long line_custom_rate(int fd)
{
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0)
        return -1;
    return static_cast<long>(line.c_ospeed);
}

void line_keep_custom(int fd)
{
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0 || (line.c_cflag & CBAUD) != BOTHER)
        return;
    found_custom = line;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    have_found_custom = 1;
}

bool line_put_back_custom(int fd)
{
    if (have_found_custom == 0)
        return false;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    (void)ioctl(fd, TCSETS2, &found_custom);  // at once: TCSETSW2 would wait for a drain
    have_found_custom = 0;
    return true;
}

void line_low_latency(int fd)
{
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    constexpr int low_latency = static_cast<int>(ASYNC_LOW_LATENCY);
    if ((serial.flags & low_latency) != 0)
        return;
    serial.flags |= low_latency;
    // Noted before it is asked for, so that a signal in between still turns
    // the flag off again (it was off).
    low_latency_set = 1;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0)
        low_latency_set = 0;
}

void line_low_latency_off(int fd)
{
    if (low_latency_set == 0)
        return;
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
    low_latency_set = 0;
}

// The kernel lets a poll wake up as much as 0.1 % of its timeout late (2 ms
// on a 2-second read, 20 ms on a 20-second one). A long wait therefore aims
// a little short of the deadline (by 1/512 of what is left, more than that
// slack) and the next wait covers the few milliseconds that remain: the
// deadline is kept to within the timer slack (some 50 us) with two or three
// wake-ups per read.
int wait_until(pollfd& what, std::chrono::steady_clock::time_point deadline)
{
    // a past deadline waits none
    std::chrono::steady_clock::duration left = deadline - std::chrono::steady_clock::now();
    if (left >= std::chrono::milliseconds(50))
        left -= left / 512;
    const timespec wait = to_timespec(left);
    what.revents = 0;
    return ppoll(&what, 1, &wait, nullptr);
}

int thread_timer_create(int signal_number, timer_t& timer)
{
    sigevent notify{};
    notify.sigev_notify = SIGEV_THREAD_ID;
    notify.sigev_signo = signal_number;
    notify.sigev_notify_thread_id = gettid();
    return timer_create(CLOCK_MONOTONIC, &notify, &timer);
}

}  // namespace pello
