// The Pellomatic PC host utility: start-up, then the console loop.
#include "console/console.hpp"
#include "serial/serial.hpp"

#ifndef _WIN32
#include <fcntl.h>
#endif

int main()
{
#ifndef _WIN32
    // A standard stream closed at start gets /dev/null: otherwise the next
    // file or port opened would take its descriptor, and a port that is
    // standard error is refused as the operator's own terminal.
    for (int standard = 0; standard <= 2; ++standard)
        if (fcntl(standard, F_GETFD) < 0)
            (void)open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
#endif
    const int status = pello::console_main();
    // A port still open at exit (exit while connected) is closed the normal
    // way, so that its line settings are put back for the next program.
    pello::close_port();
    return status;
}
