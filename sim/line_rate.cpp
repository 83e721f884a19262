// The rates set on a terminal, read the way the port layer sets them: the
// standard termios record for every rate that has a B constant, the kernel's
// termios2 record (termios2.cpp) only for a rate that has none.
#include "sim.hpp"

#include <termios.h>

namespace pello::sim {

namespace {

// The rate of a standard speed code; 0 for the code of a rate that has no B
// constant (the kernel's BOTHER) and for B0.
long rate_of_code(speed_t code)
{
    struct code_rate {
        speed_t code;
        long rate;
    };
    static const code_rate rates[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
        {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
        {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
        {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (const auto& entry : rates)
        if (entry.code == code)
            return entry.rate;
    return 0;
}

}  // namespace

line_rates read_line_rates(int fd)
{
    line_rates rates;
    termios line{};
    // On the master side of a pseudo-terminal the terminal requests act on
    // the slave's settings, which are the ones the host set.
    if (fd < 0 || tcgetattr(fd, &line) != 0)
        return rates;
    rates.readable = true;
    rates.in = rate_of_code(cfgetispeed(&line));
    rates.out = rate_of_code(cfgetospeed(&line));
    // A rate with no B constant is held only in the kernel's termios2 record.
    if ((rates.in == 0 && cfgetispeed(&line) != B0) || (rates.out == 0 && cfgetospeed(&line) != B0))
        (void)read_termios2_rates(fd, rates);
    return rates;
}

}  // namespace pello::sim
