// The operator's own terminal as a COM port: the port layer would put it in
// raw mode and leave the console without echo and Ctrl-C. The utility runs
// with a pseudo-terminal as its controlling terminal and as one of its
// standard streams, and COM<n> reaches that terminal by its own name or
// through /dev/tty; the open is refused as busy and nothing touches the
// terminal's settings.
#include "faults.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/pty.hpp"

namespace pello::faults {
namespace {

// Runs the utility in a session of its own whose controlling terminal is
// slave, which is also its standard stream `which`; the other streams are a
// pipe for input and one for output. input goes to the terminal when it is
// standard input. Returns what the utility printed (empty when it had to be
// killed after timeout_ms).
std::string run_on_terminal(pello::test::pty_port& pty, int which, const std::string& input,
                            int timeout_ms)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return "(no pipes)";
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int terminal = open(pty.slave().c_str(), O_RDWR);
        if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0)
            _exit(126);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        dup2(terminal, which);
        pello::test::exec_program({pello::test::bin_path("pellomatic-e2e")});
    }
    close(in[0]);
    close(out[1]);
    if (which == 0)
        pty.write(input);
    else
        (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    // Read until the utility's end closes the pipe, or the time runs out.
    std::string printed;
    pollfd wait{out[0], POLLIN, 0};
    char buf[4096];
    bool ended = false;
    while (!ended && poll(&wait, 1, timeout_ms) > 0) {
        const ssize_t k = read(out[0], buf, sizeof buf);
        ended = k <= 0;
        if (k > 0)
            printed.append(buf, static_cast<std::size_t>(k));
    }
    close(out[0]);
    if (!ended) {
        kill(pid, SIGKILL);
        printed.clear();
    }
    waitpid(pid, nullptr, 0);
    return printed;
}

TEST(OwnTerminal, RefusedAsAComPort)
{
    pello::test::pty_port pty(com_b);
    ASSERT_TRUE(pty.ready());
    const std::string port = pello::test::com::port_name(com_b);
    const std::string link = std::string(PELLO_PORT_DIR) + "/" + port;
    struct row {
        const char* name;
        int which;           // the standard stream that is the terminal (-1: none)
        std::string target;  // what COM<n> links to
    };
    const row rows[] = {
        {"standard error is the terminal, named by its own path", 2, pty.slave()},
        {"standard input is the terminal, reached through /dev/tty", 0, "/dev/tty"},
        {"only the controlling terminal, reached through /dev/tty", -1, "/dev/tty"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        unlink(link.c_str());
        ASSERT_EQ(symlink(r.target.c_str(), link.c_str()), 0) << std::strerror(errno);
        const std::string printed =
            run_on_terminal(pty, r.which, "connect " + std::to_string(com_b) + "\nx\n", 30000);
        EXPECT_EQ(transcript(printed),
                  P + "Connecting at 9600...\n\a\aError: cannot open COM port " + port + ": " +
                      std::strerror(EBUSY) + "\n\a\aError: could not open COM port " + port + "\n" +
                      P);
        // The terminal keeps its line editing, echo and signal keys.
        const pello::test::line_probe line = pty.probe_line();
        EXPECT_TRUE(line.icanon && line.echo && line.isig);
    }
}

// Started with standard error closed, the utility does not open the port on
// that descriptor and refuse it as its own terminal.
TEST(OwnTerminal, ClosedStandardStreamIsNotTakenForIt)
{
    com_lock lock(com_b);
    sim_device sim(com_b, {"--fill", "--loader-wait", "100"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec 2>&-; exec \"$@\"", "sh"};
    const auto utility = pello::test::program_command({pello::test::bin_path("pellomatic-e2e")});
    argv.insert(argv.end(), utility.begin(), utility.end());
    const run_result r =
        pello::test::run_program(argv, "connect " + std::to_string(com_b) + "\nx\n");
    EXPECT_EQ(transcript(r.out), P + connect_ok(9600) + P);
}

// Ended by a signal while it holds the port (here while a connect waits for
// the power-on), the utility puts the port back first: line editing and no
// exclusive use again, and the exit status still names the signal.
// A SIGTERM after each ends it where the signal does not (a stray SIGALRM).
TEST(Signals, PortPutBackBeforeTheProgramEnds)
{
    pello::test::pty_port pty(com_b);
    ASSERT_TRUE(pty.ready());
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        SCOPED_TRACE(strsignal(s));
        live_utility u;
        u.send("connect " + std::to_string(com_b) + "\n");
        ASSERT_TRUE(u.wait_for(connect_start(9600), 10000)) << u.out();
        ASSERT_TRUE(kill(u.pid(), s) == 0 && kill(u.pid(), SIGTERM) == 0);
        EXPECT_EQ(u.finish(), 128 + (s == SIGALRM ? SIGTERM : s));
        const pello::test::line_probe line = pty.probe_line();
        EXPECT_TRUE(line.icanon && line.echo && line.isig && !line.exclusive);
    }
}

}  // namespace
}  // namespace pello::faults
