#include "line_record.hpp"

#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/sim.hpp"

namespace pello::test {

std::string line_record(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    termios line;
    std::memset(&line, 0, sizeof line);  // compared as bytes: no stray padding
    const bool ok = tcgetattr(fd, &line) == 0;
    const pello::sim::line_rates rates = pello::sim::read_line_rates(fd);
    close(fd);
    return ok ? std::string(reinterpret_cast<const char*>(&line), sizeof line) +
                    std::to_string(rates.in) + "/" + std::to_string(rates.out)
              : std::string();
}

bool set_line_of_another_program(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios line{};
    bool ok = tcgetattr(fd, &line) == 0;
    // Not 7 bits with parity: the pseudo-terminals of recent kernels keep 8
    // bits without, and glibc's tcsetattr then reports the change refused.
    line.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    line.c_cflag |= CSTOPB | CREAD;
    line.c_iflag |= IXON | IXOFF | ICRNL;
    line.c_oflag |= OPOST | ONLCR;
    line.c_lflag |= ICANON | ECHO | ISIG;
    line.c_cc[VMIN] = 4;
    line.c_cc[VTIME] = 7;
    ok = ok && cfsetspeed(&line, B1200) == 0 && tcsetattr(fd, TCSANOW, &line) == 0;
    close(fd);
    return ok;
}

}  // namespace pello::test
