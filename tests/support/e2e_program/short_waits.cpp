// Linked into the utility the tests run (pellomatic-e2e) only: a fatal
// error's message is read from the captured output, not from a screen, so
// the program ends without the 5 s on the screen. The wait itself is
// measured once, in the port layer's tests.
// A test of a silent device sets the acknowledgement window (ms) in
// PELLO_E2E_ACK_WAIT_MS.
#include "device/test_seams.hpp"
#include "serial/test_seams.hpp"

#include <cstdlib>

namespace {
const bool shortened = (pello::set_fatal_wait(std::chrono::milliseconds(0)), true);
const char* const ack_wait = std::getenv("PELLO_E2E_ACK_WAIT_MS");
const bool ack_set =
    ack_wait != nullptr &&
    (pello::set_ack_wait(std::chrono::milliseconds(std::strtol(ack_wait, nullptr, 10))), true);
}  // namespace
