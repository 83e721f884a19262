// The rate the host set on the line, read from the master side of the
// pseudo-terminal. The kernel's termios2 carries the rate as a number (also
// the non-standard ones set with BOTHER); its header clashes with <termios.h>,
// so this is the only file that includes it.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace pello::sim {

long read_line_rate(int master)
{
    if (master < 0)
        return 0;
    // On the master side the terminal requests act on the slave's settings,
    // which are the ones the host set when it opened the port.
    termios2 settings{};
    if (ioctl(master, TCGETS2, &settings) != 0)
        return 0;
    if (settings.c_ospeed != 0)
        return static_cast<long>(settings.c_ospeed);
    struct code_rate {
        unsigned code;
        long rate;
    };
    static const code_rate rates[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
    };
    for (const auto& entry : rates)
        if ((settings.c_cflag & CBAUD) == entry.code)
            return entry.rate;
    return 0;
}

}  // namespace pello::sim
