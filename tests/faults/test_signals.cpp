// A utility ended by a signal while it holds the port (here while a connect
// waits for the operator to power the device) puts the port back first: the
// pseudo-terminal has its line editing and no exclusive use again, and the
// exit status still names the signal.
#include "faults.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/pty.hpp"

namespace pello::faults {
namespace {

TEST(Signals, PortPutBackBeforeTheProgramEnds)
{
    pello::test::pty_port pty(com_b);
    ASSERT_TRUE(pty.ready());
    live_utility u;
    u.next_prompt();
    u.send("connect " + std::to_string(com_b) + "\n");
    ASSERT_TRUE(u.wait_for(connect_start(9600), 10000)) << u.out();
    ASSERT_EQ(kill(u.pid(), SIGTERM), 0);
    EXPECT_EQ(u.finish(), 128 + SIGTERM);

    const pello::test::line_probe line = pty.probe_line();
    EXPECT_TRUE(line.icanon && line.echo && line.isig);
    const int fd = open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

}  // namespace
}  // namespace pello::faults
