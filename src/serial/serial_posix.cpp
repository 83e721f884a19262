// The port backend of POSIX systems, on the terminal interface: the device
// opened exclusively, its line set through standard termios, read with one
// deadline, written until every byte has left the port or the write limit
// has passed, purged, and closed with its settings put back. What only Linux
// has (the rates with no B constant, the low-latency flag, ppoll's wait, the
// timer that signals one thread) is in linux_only.cpp.
#include "serial/serial.hpp"
#include "serial/test_seams.hpp"

#include "serial/linux_only.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pello {

namespace {

using mono_clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// The open port (port_handle), -1 when none is open.
int port_fd = -1;

// The rate the line was last set to; the per-byte time limits follow from it.
std::int32_t line_baud = 0;

// What write_port waits with until its bytes have left the port, and what
// tells it how many bytes the system still holds for the line.
port_drain_fn port_drain = tcdrain;
int output_queued(int fd);
port_queued_fn port_queued = output_queued;

// What the port can be set to. A terminal can be set to every line setting
// the checks of set_comm_prop ask for and its time limits are kept by this
// layer, so it has all of them; what is not a terminal (tcgetattr fails) has
// none of them, and fails the first check with "Settable Params 0x00000000".
comm_caps terminal_caps(int fd)
{
    struct termios line {};
    if (fd < 0 || tcgetattr(fd, &line) != 0)
        return {0, 0, 0, 0};
    return required_caps;
}

// The rates of baud_table that have a standard speed code, with the code:
// the line is set by the code of its rate and read back by the rate of its
// code. 14400 and 56000 have none; the Linux part sets them.
struct standard_speed {
    std::int32_t rate;
    speed_t code;
};
constexpr standard_speed standard_speeds[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

const standard_speed* speed_of_rate(std::int32_t rate)
{
    for (const standard_speed& speed : standard_speeds)
        if (speed.rate == rate)
            return &speed;
    return nullptr;
}

// The rate of a speed code; 0 for a code of no rate of baud_table.
std::int32_t rate_of_code(speed_t code)
{
    for (const standard_speed& speed : standard_speeds)
        if (speed.code == code)
            return speed.rate;
    return 0;
}

// The line as the port layer found it on the open port's first setting, put
// back by line_restore: one port is open at a time. The ending signals'
// handler reads it too: the record is written whole before the flag that
// says it is there, and read only after the flag.
struct termios found_line {};
volatile std::sig_atomic_t have_found_line = 0;

// The output rate fd's line is set to: -1 with errno when it cannot tell. A
// code of no rate of baud_table (a rate with no B constant, or one a driver
// substituted) is read as a number by the Linux part.
long applied_rate(int fd)
{
    struct termios line {};
    if (tcgetattr(fd, &line) != 0)
        return -1;
    if (const std::int32_t rate = rate_of_code(cfgetospeed(&line)); rate != 0)
        return rate;
    return line_custom_rate(fd);
}

// Sets fd to raw 8-bit data, 8 data bits, no parity, 1 stop bit, receiver on,
// modem control lines ignored, no RTS/CTS and no XON/XOFF flow control, at
// rate. Reads return at once with what is there (the port is non-blocking).
// Returns 0, or line_get_failed / line_set_failed with errno telling why.
int line_set_8n1(int fd, std::int32_t rate)
{
    struct termios line {};
    if (tcgetattr(fd, &line) != 0)
        return line_get_failed;
    if (have_found_line == 0) {
        found_line = line;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        have_found_line = 1;
        // Found at a rate with no B constant, which this record cannot hold.
        if (rate_of_code(cfgetospeed(&line)) == 0)
            line_keep_custom(fd);
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
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
#ifdef CIBAUD
    line.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
#endif
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    // A rate with no B constant keeps the speed as found here; the Linux part
    // sets it next.
    const standard_speed* speed = speed_of_rate(rate);
    if (speed != nullptr && cfsetspeed(&line, speed->code) != 0)
        return line_set_failed;
    // Non-blocking reads: with VMIN 1 a read with nothing waiting fails with
    // EAGAIN, so a read of 0 bytes can only mean a hang-up.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &line) != 0)
        return line_set_failed;
    if (speed == nullptr && line_set_custom_rate(fd, rate) != 0)
        return line_set_failed;

    // A driver that cannot produce the rate substitutes another without an
    // error: read the settings back and refuse a rate more than 3 % off.
    const long got = applied_rate(fd);
    if (got < 0)
        return line_set_failed;
    if (std::labs(got - rate) * 100 > static_cast<long>(rate) * 3) {
        errno = EINVAL;
        return line_set_failed;
    }
    return 0;
}

// Holds DTR and RTS off. A port that refuses (a pseudo-terminal) is left as
// it is.
void line_modem_lines_off(int fd)
{
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIC, &lines);
}

// A failed read never returns: the message goes to fatal_exit with the
// system error that caused it (EIO when there is none).
[[noreturn]] void read_failed_with(const char* name, int error)
{
    errno = error != 0 ? error : EIO;
    port_backend::read_failed(name);
}

// From the bound on the drain's signal comes every millisecond, so that one
// that arrives just before the drain begins to wait cannot leave it waiting.
// Its arrival interrupts the drain (EINTR); its handler, in place from the
// open to the close (exit_signals_guard), does nothing else.
constexpr long drain_repeat_ns = 1000000;

// A drain cannot be given a time limit of its own: a timer that signals the
// writing thread interrupts it. The timer and the thread's unblocked signal
// are set up by the first write on an open port and taken down when the
// port closes, so that a write costs only the timer's arming and disarming
// beyond its bytes.
struct drain_timer {
    bool ready = false;
    pthread_t thread{};  // the thread the timer signals
    timer_t timer{};
    sigset_t mask_before{};
};
drain_timer drain_bound;

void drain_timer_down()
{
    if (!drain_bound.ready)
        return;
    // A signal the timer sent before it was deleted has been taken by the
    // handler by now: the signal is not blocked in the thread it went to.
    (void)timer_delete(drain_bound.timer);
    // A thread's signal mask is its own: only that thread can put it back.
    if (pthread_equal(drain_bound.thread, pthread_self()) != 0)
        (void)pthread_sigmask(SIG_SETMASK, &drain_bound.mask_before, nullptr);
    drain_bound.ready = false;
}

// 0 when the calling thread's writes can bound their drains, or the error
// that stops it (a write whose drain could not be bounded is not begun).
int drain_timer_up()
{
    if (drain_bound.ready && pthread_equal(drain_bound.thread, pthread_self()) != 0)
        return 0;
    drain_timer_down();  // set up for another thread: this one writes now

    if (thread_timer_create(drain_signal, drain_bound.timer) != 0)
        return errno;
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, drain_signal);
    (void)pthread_sigmask(SIG_UNBLOCK, &only, &drain_bound.mask_before);
    drain_bound.thread = pthread_self();
    drain_bound.ready = true;
    return 0;
}

// Waits until every byte queued on fd has left the port, but no later than
// the deadline: 0, or the error (ETIMEDOUT when the deadline came first).
// The wait costs no CPU; the timer is disarmed before it returns.
int drain_until(int fd, mono_clock::time_point deadline)
{
    itimerspec when{};
    when.it_value = to_timespec(deadline.time_since_epoch());
    when.it_interval.tv_nsec = drain_repeat_ns;
    if (timer_settime(drain_bound.timer, TIMER_ABSTIME, &when, nullptr) != 0)
        return errno;
    int result = 0;
    while (port_drain(fd) != 0) {
        if (errno != EINTR) {
            result = errno;
            break;
        }
        if (mono_clock::now() >= deadline) {
            result = ETIMEDOUT;
            break;
        }
    }
    const itimerspec off{};
    (void)timer_settime(drain_bound.timer, 0, &off, nullptr);
    return result;
}

// Hands length bytes to the system for the open port, waiting for room in
// its queue until the deadline: 0 with done length, or the error that
// stopped it (ETIMEDOUT at the deadline) with done the count it took.
int hand_over(const unsigned char* bytes, int length, int& done, mono_clock::time_point deadline)
{
    done = 0;
    if (port_fd < 0)
        return EBADF;
    if (const int error = drain_timer_up(); error != 0)
        return error;
    while (done < length) {
        const ssize_t n = write(port_fd, bytes + done, static_cast<std::size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n == 0)
            return EIO;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return errno;
        // The port's queue is full: wait for room until the write limit.
        if (deadline - mono_clock::now() <= mono_clock::duration::zero())
            return ETIMEDOUT;
        pollfd room{port_fd, POLLOUT, 0};
        if (wait_until(room, deadline) < 0 && errno != EINTR)
            return errno;
    }
    return 0;
}

// The bytes the system still holds for the line (TIOCOUTQ), -1 when it
// cannot tell.
int output_queued(int fd)
{
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? std::max(queued, 0) : -1;
}

}  // namespace

namespace {

// The terminal device a descriptor reaches, 0 when it is none. /dev/tty and
// /dev/console stand for another terminal, which TIOCGDEV names.
dev_t terminal_of(int fd)
{
    struct stat info {};
    if (!isatty(fd) || fstat(fd, &info) != 0)
        return 0;
#ifdef TIOCGDEV
    unsigned int real = 0;
    if (ioctl(fd, TIOCGDEV, &real) == 0)
        return static_cast<dev_t>(real);
#endif
    return info.st_rdev;
}

// The port is the terminal the operator works on (the device of standard
// input, output or error, or the controlling terminal, which /dev/tty
// reaches when all three are redirected): raw mode would leave the console
// without echo and without Ctrl-C.
bool is_own_terminal(int fd)
{
    const dev_t port = terminal_of(fd);
    for (int standard = 0; port != 0 && standard <= 2; ++standard)
        if (terminal_of(standard) == port)
            return true;
    if (port == 0)
        return false;
    const int controlling = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (controlling < 0)
        return false;  // none
    const bool same = terminal_of(controlling) == port;
    (void)close(controlling);
    return same;
}

}  // namespace

void line_restore(int fd)
{
    // At once (TCSANOW): waiting for a drain could wait for ever.
    if (!line_put_back_custom(fd) && have_found_line != 0) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        (void)tcsetattr(fd, TCSANOW, &found_line);
    }
    have_found_line = 0;
    line_low_latency_off(fd);
}

namespace port_backend {

device_handle open_device(const char* name)
{
    const std::string path = port_device_path(name);
    int fd = -1;
    if (path.empty())
        errno = ENOENT;
    else
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && is_own_terminal(fd)) {
        close(fd);
        fd = -1;
        errno = EBUSY;  // in use as the operator's terminal
    }
    // Exclusive use: a port that another open (by this program or another)
    // holds is refused as busy.
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        fd = -1;
        errno = error;
    }
    if (fd < 0)
        return no_device;
    // From here on a signal that ends the program puts the port back first,
    // and the drain's signal ends nothing.
    exit_signals_guard(fd);
    // Further opens of the terminal are refused too (except to root). What
    // is not a terminal refuses this; the capability check reports it.
    (void)ioctl(fd, TIOCEXCL);
    return fd;
}

void adopt_device(device_handle opened)
{
    port_fd = static_cast<int>(opened);
}

int query_caps(const char*, comm_caps& caps)
{
    caps = terminal_caps(port_fd);
    return 0;
}

int apply_line(std::int32_t rate)
{
    if (const int result = line_set_8n1(port_fd, rate); result != 0)
        return result;
    line_baud = rate;
    line_modem_lines_off(port_fd);
    line_low_latency(port_fd);
    return 0;
}

int finish_open(const char*)
{
    // The standing time limits (10000 / R ms per byte read, write_limit_ms
    // for a write) are kept by read_port and write_port themselves from the
    // rate just set; there is nothing the system could refuse here.
    return 0;
}

int read_device(const char* name, void* buffer, int size, int limit_ms)
{
    if (port_fd < 0) {
        // No port to apply the read's time limits to.
        errno = EBADF;
        read_limits_refused(name);
    }

    // One deadline for the whole read. A pause does not end it.
    const mono_clock::time_point deadline =
        mono_clock::now() + std::chrono::milliseconds(read_limit_ms(line_baud, size, limit_ms));

    auto* out = static_cast<unsigned char*>(buffer);
    unsigned char chunk[1024];
    int got = 0;
    for (;;) {
        pollfd ready{port_fd, POLLIN, 0};
        const int events = wait_until(ready, deadline);
        if (events < 0 && errno != EINTR)
            read_failed_with(name, errno);
        if (events > 0) {
            if ((ready.revents & POLLIN) != 0) {
                // Only what is still wanted: the rest waits for the next read.
                const std::size_t want =
                    std::min(static_cast<std::size_t>(size - got), sizeof chunk);
                const ssize_t n = read(port_fd, chunk, want);
                if (n == 0)
                    read_failed_with(name, EIO);  // end of file: the line hung up
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    read_failed_with(name, errno);
                // NUL bytes are dropped and do not count as received.
                for (ssize_t i = 0; i < n; ++i)
                    if (chunk[i] != 0)
                        out[got++] = chunk[i];
                if (got == size)
                    return got;
            } else if ((ready.revents & POLLNVAL) != 0) {
                read_failed_with(name, EBADF);
            } else if ((ready.revents & (POLLHUP | POLLERR)) != 0) {
                // A hang-up is reported at once and every time: it is a
                // failed read, not a silent device.
                read_failed_with(name, EIO);
            }
        }
        if (mono_clock::now() >= deadline)
            return got;
    }
}

bool write_device(const void* buffer, int length, int& done)
{
    // The write limit bounds the handing of the bytes to the system; the
    // drain that follows may take the driver's confirmation beyond it.
    const mono_clock::time_point deadline =
        mono_clock::now() + std::chrono::milliseconds(write_limit_ms(line_baud, length));
    const mono_clock::time_point drain_deadline =
        deadline + std::chrono::milliseconds(drain_allowance_ms);

    int error = hand_over(static_cast<const unsigned char*>(buffer), length, done, deadline);
    int queued = 0;
    if (error != 0) {
        // Not every byte was handed over: what left the port is what was
        // taken less what the system still holds.
        queued = port_queued(port_fd);
    } else if (const int drained = drain_until(port_fd, drain_deadline); drained != 0) {
        // Like a synchronous write, return only when the bytes have left the
        // port (the answer windows that follow start there), and at the drain's
        // bound at the latest: a stalled line does not hang the program. A
        // drain that ends unconfirmed fails the write only when the system
        // still holds some of its bytes: those did not leave.
        queued = port_queued(port_fd);
        if (queued != 0)
            error = drained;
    }
    if (error != 0) {
        // The count is what left the port (none is known to have left when
        // the system cannot tell). What is still queued is thrown away, as a
        // timed-out synchronous write does: no stale bytes reach the device
        // later, in the middle of what is sent next.
        done = queued < 0 ? 0 : done - std::min(queued, done);
        (void)tcflush(port_fd, TCOFLUSH);
        errno = error;
        return false;
    }
    return true;
}

void end_program(int, const char*)
{
    _exit(3);
}

void purge_device()
{
    if (port_fd >= 0)
        (void)tcflush(port_fd, TCIOFLUSH);
}

void close_device()
{
    drain_timer_down();  // no drain's timer, the thread's signal mask as it was
    if (port_fd < 0)
        return;
    // The port is left as it was found, for the next program, and the
    // signals as they were.
    port_put_back(port_fd);
    port_fd = -1;
}

void reset_device()
{
    line_baud = 0;
    set_port_drain(nullptr);
}

bool device_is_open()
{
    return port_fd >= 0;
}

std::string device_path(const char* name)
{
    return port_device_path_in(name, port_template);
}

}  // namespace port_backend

void set_port_drain(port_drain_fn drain, port_queued_fn queued)
{
    port_drain = drain != nullptr ? drain : tcdrain;
    port_queued = queued != nullptr ? queued : output_queued;
}

}  // namespace pello
