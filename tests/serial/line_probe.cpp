// Kept apart from the tests: <asm/termbits.h> clashes with <termios.h>.
#include "line_probe.hpp"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pello::test {

line_probe probe_line(const char* path)
{
    line_probe probe;
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return probe;
    struct termios2 line {};
    probe.readable = ioctl(fd, TCGETS2, &line) == 0;
    close(fd);
    probe.ispeed = line.c_ispeed;
    probe.ospeed = line.c_ospeed;
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

}  // namespace pello::test
