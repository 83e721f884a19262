// The pseudo-terminal that plays the device. The line's rates are read as
// the emulator reads them (standard termios, termios2 for a rate with no B
// constant).
#include "support/pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "serial/serial.hpp"
#include "sim/sim.hpp"
#include "support/com_numbers.hpp"

namespace pello::test {

pty_port::pty_port(int com) : lock_(com)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    const char* path = ptsname(master_);
    if (path == nullptr)
        return;
    slave_ = path;
    slave_fd_ = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::error_code ignored;
    std::filesystem::create_directories(PELLO_PORT_DIR, ignored);
    const std::string link = std::string(PELLO_PORT_DIR) + "/" + pello::test::com::port_name(com);
    unlink(link.c_str());
    if (symlink(path, link.c_str()) == 0)
        link_ = link;
}

pty_port::~pty_port()
{
    pello::close_port();
    if (!link_.empty())
        unlink(link_.c_str());
    if (slave_fd_ >= 0)
        close(slave_fd_);
    hang_up();
}

line_probe pty_port::probe_line() const
{
    line_probe probe;
    const int fd = open(slave_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return probe;
    termios line{};
    probe.readable = tcgetattr(fd, &line) == 0;
    const pello::sim::line_rates rates = pello::sim::read_line_rates(fd);
    int exclusive = 0;
    const int asked = ioctl(fd, TIOCGEXCL, &exclusive);
    if (asked != 0 && errno == ENOSYS)  // qemu-user lacks the call: exclusive use cannot be told
        std::fprintf(stderr, "exclusive use not checked: no TIOCGEXCL under this emulator\n");
    else
        probe.exclusive = asked != 0 || exclusive != 0;
    close(fd);
    probe.ispeed = static_cast<unsigned>(rates.in);
    probe.ospeed = static_cast<unsigned>(rates.out);
    probe.cs8 = (line.c_cflag & CSIZE) == CS8;
    probe.parenb = (line.c_cflag & PARENB) != 0;
    probe.cstopb = (line.c_cflag & CSTOPB) != 0;
    probe.crtscts = (line.c_cflag & CRTSCTS) != 0;
    probe.clocal = (line.c_cflag & CLOCAL) != 0;
    probe.cread = (line.c_cflag & CREAD) != 0;
    probe.ixon = (line.c_iflag & IXON) != 0;
    probe.ixoff = (line.c_iflag & IXOFF) != 0;
    probe.icrnl = (line.c_iflag & ICRNL) != 0;
    probe.istrip = (line.c_iflag & ISTRIP) != 0;
    probe.icanon = (line.c_lflag & ICANON) != 0;
    probe.echo = (line.c_lflag & ECHO) != 0;
    probe.isig = (line.c_lflag & ISIG) != 0;
    probe.opost = (line.c_oflag & OPOST) != 0;
    return probe;
}

bool pty_port::wait_opened(int timeout_ms) const
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        termios line{};
        if (tcgetattr(slave_fd_, &line) == 0 && (line.c_lflag & ECHO) == 0)
            return true;
        usleep(5000);
    }
    return false;
}

void pty_port::stop_output(bool stop)
{
    (void)tcflow(slave_fd_, stop ? TCOOFF : TCOON);
}

void pty_port::write(std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd room{master_, POLLOUT, 0};
            if (poll(&room, 1, 1000) <= 0)
                return;
        }
    }
}

void pty_port::write(const std::vector<unsigned char>& bytes)
{
    write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<unsigned char> pty_port::read(std::size_t n, int timeout_ms)
{
    std::vector<unsigned char> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd data{master_, POLLIN, 0};
        if (poll(&data, 1, static_cast<int>(left)) <= 0)
            continue;
        unsigned char chunk[512];
        const ssize_t k = ::read(master_, chunk, std::min(sizeof chunk, n - got.size()));
        if (k > 0)
            got.insert(got.end(), chunk, chunk + k);
    }
    return got;
}

std::string pty_port::received(int quiet_ms)
{
    std::string bytes;
    char chunk[65536];
    for (;;) {
        pollfd data{master_, POLLIN, 0};
        if (poll(&data, 1, quiet_ms) <= 0 || (data.revents & POLLIN) == 0)
            return bytes;
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0)
            return bytes;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
}

bool termios2_works()
{
    static const bool works = [] {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        pello::sim::line_rates rates;
        const bool read = master >= 0 && pello::sim::read_termios2_rates(master, rates);
        if (master >= 0)
            close(master);
        return read;
    }();
    return works;
}

void pty_port::hang_up()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

}  // namespace pello::test
