// What only Linux has of the port backend: the line settings through the
// termios2 record, so that every rate of baud_table, 14400 and 56000
// included, can be set; the low-latency flag; the timer that signals one
// thread. This file must not include <termios.h>: its struct termios and
// constants clash with the kernel's <asm/termbits.h>.
#include "serial/linux_only.hpp"

#include "serial/serial.hpp"

#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
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

// The standard speed code of a rate, or BOTHER when the rate has none.
tcflag_t speed_code(std::int32_t rate)
{
    switch (rate) {
    case 110:
        return B110;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return BOTHER;
    }
}

// What the port layer changed on the open port, as it was before: one port
// is open at a time. The ending signals' handler reads them too, so the
// flags are lock-free atomics: the record is written whole before the flag
// that says it is there is set, and read only after the flag.
struct termios2 found_line {};
std::atomic<bool> have_found_line{false};
std::atomic<bool> low_latency_set{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads the flags");

}  // namespace

int line_set_8n1(int fd, std::int32_t rate)
{
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0)
        return line_get_failed;
    if (!have_found_line) {
        found_line = line;
        have_found_line = true;
    }

    // Raw input: no break, parity, stripping, line-end or flow-control
    // processing. Received NUL bytes arrive as data and are dropped by the
    // reader.
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // 8 data bits, no parity, 1 stop bit, receiver on, modem control lines
    // ignored, no RTS/CTS; input rate equal to the output rate.
    line.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= CS8 | CREAD | CLOCAL | speed_code(rate);
    line.c_ispeed = static_cast<speed_t>(rate);
    line.c_ospeed = static_cast<speed_t>(rate);
    // Non-blocking reads: with VMIN 1 a read with nothing waiting fails with
    // EAGAIN, so a read of 0 bytes can only mean a hang-up.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &line) != 0)
        return line_set_failed;

    // A driver that cannot produce the rate substitutes another without an
    // error: read the settings back and refuse a rate more than 3 % off.
    struct termios2 applied {};
    if (ioctl(fd, TCGETS2, &applied) != 0)
        return line_set_failed;
    const long got = static_cast<long>(applied.c_ospeed);
    if (std::labs(got - rate) * 100 > static_cast<long>(rate) * 3) {
        errno = EINVAL;
        return line_set_failed;
    }
    return 0;
}

void line_modem_lines_off(int fd)
{
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIC, &lines);
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
    low_latency_set = true;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0)
        low_latency_set = false;
}

void line_restore(int fd)
{
    if (have_found_line)
        (void)ioctl(fd, TCSETS2, &found_line);  // at once: TCSETSW2 would wait for a drain
    if (low_latency_set) {
        struct serial_struct serial {};
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
            (void)ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    have_found_line = false;
    low_latency_set = false;
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
