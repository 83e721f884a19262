// Linked into the utility the tests run (pellomatic-e2e) only: a fatal
// error's message is read from the captured output, not from a screen, so
// the program ends without the 5 s on the screen. The wait itself is
// measured once, in the port layer's tests.
#include "serial/test_seams.hpp"

namespace {
const bool shortened = (pello::set_fatal_wait(std::chrono::milliseconds(0)), true);
}  // namespace
