// What a test build or a benchmark changes in the port layer, and the
// allowance a drain gets, which they measure against. The product itself
// never calls these: it reads no option or environment variable for them.
#pragma once

#include <chrono>
#include <cstdint>

namespace pello {

// How long fatal_exit leaves its message on the screen before the program
// ends: 5 s. A test that does not measure this wait shortens it; a test
// program sets it before the port layer is used, and a program it runs
// through a translation unit of the test build (tests/support).
inline constexpr std::chrono::milliseconds fatal_wait_default{5000};
void set_fatal_wait(std::chrono::milliseconds wait);
std::chrono::milliseconds fatal_wait();

#if !defined(_WIN32)
// The call write_port waits with until the bytes it queued have left the
// port: tcdrain, which waits as long as the line takes (for ever on a stalled
// line) and gives up with EINTR when a signal arrives; write_port bounds it
// by its write limit and an allowance for the driver's confirmation. Its
// contract: 0 once everything queued on fd has left the port, -1 with errno
// otherwise. When a drain ends unconfirmed, the bytes the system still holds
// for the line (TIOCOUTQ; -1 with errno when it cannot tell) decide the
// write: none held is a write that went out. A test or benchmark puts calls
// of its own in their place to hold a write the way a stalled line does,
// which a pseudo-terminal never does; nullptr puts the system's back.
//
// What a drain may take beyond the write limit: the driver's confirmation
// that the bytes have left. The 8250 driver polls the UART's transmitter and
// ftdi_sio asks the adapter once per jiffy (4 ms), and a process on a loaded
// PC, or behind a USB hub, is woken late; a healthy line is always confirmed
// well within this, a stalled one still ends the write quickly.
constexpr std::int64_t drain_allowance_ms = 200;
using port_drain_fn = int (*)(int fd);
using port_queued_fn = int (*)(int fd);
void set_port_drain(port_drain_fn drain, port_queued_fn queued = nullptr);
#endif

}  // namespace pello
