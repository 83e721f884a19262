// The Pellomatic PC host utility: start-up, then the console loop.
#include "console/console.hpp"
#include "serial/serial.hpp"

int main()
{
    const int status = pello::console_main();
    // A port still open at exit (exit while connected) is closed the normal
    // way, so that its line settings are put back for the next program.
    pello::close_port();
    return status;
}
