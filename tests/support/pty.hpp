// Test support: a pseudo-terminal standing in for the device. Its slave is
// linked as PELLO_PORT_DIR "/COM<n>", so open_port("COM<n>") reaches it, and
// the test plays the device on the master side: it writes what the device
// sends, reads what the program sent, stops the program's output and hangs
// the line up.
//
// Typical use:
//   pello::test::pty_port pty(com::serial_port);  // holds its com_lock meanwhile
//   ASSERT_TRUE(pty.ready());
//   pello::open_port(com::port_name(com::serial_port).c_str(), 9600);
//   pty.write("answer");
//   EXPECT_EQ(pty.received(), "what the program wrote");
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "support/run.hpp"

namespace pello::test {

// The line settings of a terminal as the kernel holds them, its rates in baud.
struct line_probe {
    bool readable = false;
    unsigned ispeed = 0, ospeed = 0;
    bool cs8 = false, parenb = false, cstopb = false, crtscts = false, clocal = false,
         cread = false;
    bool ixon = false, ixoff = false, icrnl = false, istrip = false;
    bool icanon = false, echo = false, isig = false, opost = false;
    bool exclusive = false;  // other opens refused (TIOCEXCL)
};

// Whether the kernel reads the termios2 record of a pseudo-terminal (qemu-user
// does not): only termios2 sets a rate with no B constant (14400, 56000).
bool termios2_works();

class pty_port {
public:
    // Takes com_lock(com), then makes the pseudo-terminal and its link; a
    // link left by an earlier run is replaced.
    explicit pty_port(int com);
    // Closes the program's port (pello::close_port), removes the link and
    // closes both sides.
    ~pty_port();
    pty_port(const pty_port&) = delete;
    pty_port& operator=(const pty_port&) = delete;

    // The pseudo-terminal exists and its link is in place.
    bool ready() const { return master_ >= 0 && slave_fd_ >= 0 && !link_.empty(); }

    // The slave's own path (/dev/pts/<k>), and the master's descriptor (-1
    // after hang_up).
    const std::string& slave() const { return slave_; }
    int master() const { return master_; }

    // The slave's line settings, read through a descriptor of its own.
    line_probe probe_line() const;

    // Waits until a program has opened the port and set it to raw mode (its
    // echo is off); false after timeout_ms.
    bool wait_opened(int timeout_ms = 5000) const;

    // Stops (or restarts) what the program writes to the port, so that its
    // writes find no room and fail at their time limit.
    void stop_output(bool stop);

    // Sends bytes to the program, waiting for room; gives up when the line
    // takes nothing for a second.
    void write(std::string_view bytes);
    void write(const std::vector<unsigned char>& bytes);

    // Reads exactly n bytes of what the program sent, waiting at most
    // timeout_ms in all; fewer when the time runs out.
    std::vector<unsigned char> read(std::size_t n, int timeout_ms = 3000);

    // Everything the program sent, read until the line stays quiet for
    // quiet_ms.
    std::string received(int quiet_ms = 100);

    // Closes the master side: the program's port hangs up.
    void hang_up();

private:
    com_lock lock_;  // first: held before the link is made, released after it is gone
    int master_ = -1;
    int slave_fd_ = -1;  // held open, so that the master stays readable between the program's opens
    std::string slave_;
    std::string link_;
};

}  // namespace pello::test
