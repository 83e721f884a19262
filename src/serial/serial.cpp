// The serial port layer on a POSIX terminal: one COM port at a time, opened
// exclusively, checked, set to 8N1 without flow control, read with one
// deadline, written until every byte has left the port, purged and closed.
#include "serial/serial.hpp"

#include "serial/port_checks.hpp"

#include "serial/line_settings.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
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

// The shared error text buffer of sys_error_text.
char error_text[1024];

// What the port can be set to, in the terms of the checks of set_comm_prop.
// A terminal can be set to every line setting these checks ask for and its
// time limits are kept by this layer, so it has all of them; what is not a
// terminal (tcgetattr fails) has none of them, and fails the first check
// with "Settable Params 0x00000000".
struct comm_caps {
    std::uint32_t settable_params;    // SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS
    std::uint16_t settable_data;      // DATABITS_8
    std::uint16_t settable_stop_parity;  // STOPBITS_10 | PARITY_NONE
    std::uint32_t prov_capabilities;  // PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS
};

constexpr std::uint32_t sp_required = 0x0F;
constexpr std::uint16_t databits_8 = 0x0008;
constexpr std::uint16_t stop_parity_required = 0x0101;
constexpr std::uint32_t pcf_required = 0x00C0;

comm_caps query_caps(int fd)
{
    struct termios line {};
    if (fd < 0 || tcgetattr(fd, &line) != 0)
        return {0, 0, 0, 0};
    return {sp_required, databits_8, stop_parity_required, pcf_required};
}

// A failed read never returns: the message goes to fatal_exit with the
// system error that caused it.
void read_failed(const char* name, int error)
{
    errno = error != 0 ? error : EIO;
    std::string text = format_text("\a\aError: could not read on COM port %s: %s\n", name,
                                   sys_error_text());
    errno = error != 0 ? error : EIO;
    fatal_exit(26, text.c_str());
}

// Waits for events on fd until the deadline at the latest; ppoll's result.
// The kernel lets a poll wake up as much as 0.1 % of its timeout late (2 ms
// on a 2-second read, 20 ms on a 20-second one). A long wait therefore aims
// a little short of the deadline (by 1/512 of what is left, more than that
// slack) and the next wait covers the few milliseconds that remain: the
// deadline is kept to within the timer slack (some 50 us) with two or three
// wake-ups per read.
int wait_until(pollfd& what, mono_clock::time_point deadline)
{
    mono_clock::duration left = deadline - mono_clock::now();
    if (left < mono_clock::duration::zero())
        left = mono_clock::duration::zero();
    if (left >= std::chrono::milliseconds(50))
        left -= left / 512;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(ns / 1000000000);
    wait.tv_nsec = static_cast<long>(ns % 1000000000);
    what.revents = 0;
    return ppoll(&what, 1, &wait, nullptr);
}

// The per-character time limit factors of the line: 10000 / R for a read,
// 20000 / R for a write (whole milliseconds, rounded down).
std::int64_t per_byte_ms(std::int32_t factor)
{
    return line_baud > 0 ? factor / line_baud : 0;
}

}  // namespace

std::string port_device_path(const char* name)
{
    return port_device_path(name, port_template);
}


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
// input, output or error): raw mode would leave the console without echo and
// without Ctrl-C.
bool is_own_terminal(int fd)
{
    const dev_t port = terminal_of(fd);
    for (int standard = 0; port != 0 && standard <= 2; ++standard)
        if (terminal_of(standard) == port)
            return true;
    return false;
}

}  // namespace

int open_port(const char* name, std::int32_t rate)
{
    if (!open_port_args_ok(name))
        return -1;
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
    if (fd < 0) {
        std::printf("\a\aError: cannot open COM port %s: %s\n", name, sys_error_text());
        return -2;
    }
    // Further opens of the terminal are refused too (except to root). What
    // is not a terminal refuses this; the capability check reports it.
    (void)ioctl(fd, TIOCEXCL);

    close_port();  // one port at a time: a port still open is given up now
    port_fd = fd;
    if (set_comm_prop(name, rate) != 0) {
        close_port();  // whatever set_comm_prop stopped at, the port is not left open
        return -3;
    }
    // The standing time limits (10000 / R per byte read, 20000 / R per byte
    // written, 10 ms more for a write) are kept by read_port and write_port
    // themselves from the rate just set; there is nothing the system could
    // refuse here.
    purge_port();
    return 0;
}

int set_comm_prop(const char* name, std::int32_t rate)
{
    const std::int32_t found = set_comm_prop_args(name, rate);
    if (found < 0)
        return found;

    const comm_caps caps = query_caps(port_fd);
    if ((caps.settable_params & sp_required) != sp_required) {
        std::printf("\a\aError: required comm properties for port %s not settable: Settable "
                    "Params 0x%08x\n",
                    name, caps.settable_params);
        close_port();
        return -7;
    }
    if ((caps.settable_data & databits_8) != databits_8) {
        std::printf("\a\aError: 8 data bits comm properties for port %s not settable: Settable "
                    "Data 0x%04x\n",
                    name, static_cast<unsigned>(caps.settable_data));
        close_port();
        return -9;
    }
    if ((caps.settable_stop_parity & stop_parity_required) != stop_parity_required) {
        std::printf("\a\aError: 1 stop bit, no parity comm properties for port %s not settable: "
                    "Settable Stop & Parity 0x%04x\n",
                    name, static_cast<unsigned>(caps.settable_stop_parity));
        close_port();
        return -10;
    }
    if ((caps.prov_capabilities & pcf_required) != pcf_required) {
        std::printf("\a\aError: timeouts comm properties for port %s not settable: Settable Prov "
                    "Cap 0x%08x\n",
                    name, caps.prov_capabilities);
        close_port();
        return -11;
    }

    const int result = line_set_8n1(port_fd, found);
    if (result == line_get_failed) {
        std::printf("\a\aError: could not get the comm state for port %s: %s\n", name,
                    sys_error_text());
        close_port();
        return -12;
    }
    if (result != 0) {
        std::printf("\a\aError: could not set the comm state for port %s: %s\n", name,
                    sys_error_text());
        close_port();
        return -13;
    }
    line_baud = found;
    line_modem_lines_off(port_fd);
    line_low_latency(port_fd);
    return 0;
}

int read_port(const char* name, void* buffer, int size, int limit_ms)
{
    if (!read_port_args_ok(name, buffer, size))
        return 0;
    if (port_fd < 0) {
        // No port to apply the read's time limits to.
        errno = EBADF;
        const std::string text = format_text(
            "\a\aError: could not set the comm timeouts for port %s: %s\n", name, sys_error_text());
        errno = EBADF;
        fatal_exit(25, text.c_str());
        return 0;
    }

    // One deadline for the whole read: size characters of 10 bits at the
    // line rate, the caller's limit and 10 ms more. A pause does not end it.
    const std::int64_t total_ms =
        static_cast<std::int64_t>(size) * per_byte_ms(10000) + limit_ms + 10;
    const mono_clock::time_point deadline = mono_clock::now() + std::chrono::milliseconds(total_ms);

    auto* out = static_cast<unsigned char*>(buffer);
    unsigned char chunk[1024];
    int got = 0;
    for (;;) {
        pollfd ready{port_fd, POLLIN, 0};
        const int events = wait_until(ready, deadline);
        if (events < 0 && errno != EINTR)
            read_failed(name, errno);
        if (events > 0) {
            if ((ready.revents & POLLIN) != 0) {
                // Only what is still wanted: the rest waits for the next read.
                const std::size_t want =
                    std::min(static_cast<std::size_t>(size - got), sizeof chunk);
                const ssize_t n = read(port_fd, chunk, want);
                if (n == 0)
                    read_failed(name, EIO);  // end of file: the line hung up
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    read_failed(name, errno);
                // NUL bytes are dropped and do not count as received.
                for (ssize_t i = 0; i < n; ++i)
                    if (chunk[i] != 0)
                        out[got++] = chunk[i];
                if (got == size)
                    return got;
            } else if ((ready.revents & POLLNVAL) != 0) {
                read_failed(name, EBADF);
            } else if ((ready.revents & (POLLHUP | POLLERR)) != 0) {
                // A hang-up is reported at once and every time: it is a
                // failed read, not a silent device.
                read_failed(name, EIO);
            }
        }
        if (mono_clock::now() >= deadline)
            return got;
    }
}

int write_port(const char* name, const void* buffer, int length)
{
    if (const int code = write_port_args(name, buffer, length); code != 0)
        return code;

    // The write limit: 20 bit times per character and 10 ms more.
    const std::int64_t total_ms = static_cast<std::int64_t>(length) * per_byte_ms(20000) + 10;
    const mono_clock::time_point deadline = mono_clock::now() + std::chrono::milliseconds(total_ms);

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    int done = 0;
    int error = 0;
    while (done < length) {
        const ssize_t n = write(port_fd, bytes + done, static_cast<std::size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            error = EIO;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            error = errno;
            break;
        }
        // The port's queue is full: wait for room until the write limit.
        const mono_clock::duration left = deadline - mono_clock::now();
        if (left <= mono_clock::duration::zero()) {
            error = ETIMEDOUT;
            break;
        }
        pollfd room{port_fd, POLLOUT, 0};
        if (wait_until(room, deadline) < 0 && errno != EINTR) {
            error = errno;
            break;
        }
    }
    // Like a synchronous write, return only when the bytes have left the
    // port: the answer windows that follow start there.
    while (done == length && tcdrain(port_fd) != 0) {
        if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    if (error != 0) {
        errno = error;
        std::printf("\a\aError: wrote %d of %d, got error on port %s: %s\n", done, length, name,
                    sys_error_text());
        return -3;
    }
    return length;
}

void purge_port()
{
    if (port_fd >= 0)
        (void)tcflush(port_fd, TCIOFLUSH);
}

void close_port()
{
    if (port_fd < 0)
        return;
    (void)ioctl(port_fd, TIOCNXCL);
    (void)flock(port_fd, LOCK_UN);
    (void)close(port_fd);
    port_fd = -1;
}

bool port_is_open()
{
    return port_fd >= 0;
}

const char* sys_error_text()
{
    const int error = errno;
    std::snprintf(error_text, sizeof error_text, "%s", std::strerror(error));
    errno = error;
    return error_text;
}

void fatal_exit(int code, const char* text)
{
    const int system_error = errno;
    if (text != nullptr)
        std::fputs(text, stderr);
    std::fprintf(stderr, "Return code %d, system error code %d\n", code, system_error);
    std::fflush(stderr);
    if (code == 0) {
        errno = system_error;
        return;
    }
    std::fflush(stdout);
    // Leave the message on the screen for 5 seconds, then end abnormally.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 5;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    _exit(3);
}

}  // namespace pello
