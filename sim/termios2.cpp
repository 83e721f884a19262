// The kernel's termios2 record, which carries the rates as numbers (also the
// ones set with BOTHER, which have no B constant). Its header clashes with
// <termios.h>, so this is the only file that includes it.
#include "sim.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace pello::sim {

bool read_termios2_rates(int fd, line_rates& rates)
{
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0)
        return false;
    rates.in = static_cast<long>(line.c_ispeed);
    rates.out = static_cast<long>(line.c_ospeed);
    return true;
}

}  // namespace pello::sim
