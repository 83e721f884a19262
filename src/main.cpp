// The Pellomatic PC host utility: start-up, then the console loop.
#include "console/console.hpp"

int main()
{
    return pello::console_main();
}
