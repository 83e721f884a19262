// Inside the POSIX port layer: the call write_port waits with until the
// bytes it queued have left the port. It is tcdrain, which waits as long as
// the line takes (for ever on a stalled line) and gives up with EINTR when
// a signal arrives; write_port bounds it by its write limit. A test puts a
// drain of its own in its place to hold a write the way a stalled line does,
// which a pseudo-terminal never does.
#pragma once

namespace pello {

// tcdrain's contract: 0 once everything queued on fd has left the port,
// -1 with errno otherwise (EINTR when a signal interrupted the wait).
using port_drain_fn = int (*)(int fd);

// Makes drain the call write_port waits with (nullptr: tcdrain again) and
// returns the one it replaces.
port_drain_fn set_port_drain(port_drain_fn drain);

}  // namespace pello
