// The line settings of a terminal as the kernel holds them (termios2), read
// through a second descriptor of its own.
#pragma once

namespace pello::test {

struct line_probe {
    bool readable = false;
    unsigned ispeed = 0, ospeed = 0;
    bool cs8 = false, parenb = false, cstopb = false, crtscts = false, clocal = false,
         cread = false;
    bool ixon = false, ixoff = false, icrnl = false, istrip = false;
    bool icanon = false, echo = false, isig = false, opost = false;
};

line_probe probe_line(const char* path);

}  // namespace pello::test
