// What a test build changes in the device conversations. The product itself
// never calls this: it reads no option or environment variable for it.
#pragma once

#include <chrono>

namespace pello {

// How long the download waits for the ACK or NAK of a packet: 5 s. A test of
// a device that stays silent on purpose, which does not measure this window,
// shortens it through a translation unit of the test build (tests/support);
// the window itself is measured once, in the time-limit tests.
inline constexpr std::chrono::milliseconds ack_wait_default{5000};
void set_ack_wait(std::chrono::milliseconds wait);

}  // namespace pello
