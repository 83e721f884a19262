#include "line_record.hpp"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pello::test {

std::string line_record(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct termios2 line {};
    const bool ok = ioctl(fd, TCGETS2, &line) == 0;
    close(fd);
    return ok ? std::string(reinterpret_cast<const char*>(&line), sizeof line) : std::string();
}

bool set_line_of_another_program(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct termios2 line {};
    bool ok = ioctl(fd, TCGETS2, &line) == 0;
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CBAUD | (CBAUD << IBSHIFT) | CLOCAL);
    line.c_cflag |= CS7 | PARENB | CSTOPB | CREAD | B1200 | (B1200 << IBSHIFT);
    line.c_ispeed = 1200;
    line.c_ospeed = 1200;
    line.c_iflag |= IXON | IXOFF | ICRNL;
    line.c_oflag |= OPOST | ONLCR;
    line.c_lflag |= ICANON | ECHO | ISIG;
    line.c_cc[VMIN] = 4;
    line.c_cc[VTIME] = 7;
    ok = ok && ioctl(fd, TCSETS2, &line) == 0;
    close(fd);
    return ok;
}

}  // namespace pello::test
