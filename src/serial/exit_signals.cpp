// The signals that end the program while a port is open (Ctrl-C, a kill, the
// operator's terminal hanging up, a closed pipe) put the port back first, as
// close_port does: the line settings as found, the low-latency flag and the
// exclusive use. Otherwise the port stays raw and exclusive after the
// program has gone, and a pseudo-terminal refuses every later open by another
// user as busy. The signal then ends the program with its default action, so
// the exit status still tells what ended it.
#include "serial/linux_only.hpp"

#include <csignal>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pello {

namespace {

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int signal_count = static_cast<int>(sizeof ending_signals / sizeof ending_signals[0]);

// The port the handler puts back, -1 when none; and what each signal did
// before, put back when the port is closed.
volatile std::sig_atomic_t guarded_fd = -1;
struct sigaction action_before[signal_count];
bool installed[signal_count] = {};

// Only calls that are safe in a signal handler: those of port_put_back,
// sigaction, sigprocmask and raise.
void put_back_and_end(int signal_number)
{
    const int fd = guarded_fd;
    guarded_fd = -1;
    if (fd >= 0)
        port_put_back(fd);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    (void)sigaction(signal_number, &fallback, nullptr);
    // The signal is blocked while its handler runs: raised again and
    // unblocked, it ends the program at once with its default action.
    (void)raise(signal_number);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

}  // namespace

void port_put_back(int fd)
{
    line_restore(fd);
    (void)ioctl(fd, TIOCNXCL);
    (void)flock(fd, LOCK_UN);
    (void)close(fd);
}

void exit_signals_guard(int fd)
{
    guarded_fd = fd;
    for (int i = 0; i < signal_count; ++i) {
        if (installed[i])
            continue;
        struct sigaction before {};
        if (sigaction(ending_signals[i], nullptr, &before) != 0)
            continue;
        // A signal the program was started to ignore (nohup, a background
        // job) stays ignored.
        if (before.sa_handler == SIG_IGN)
            continue;
        struct sigaction guard {};
        guard.sa_handler = put_back_and_end;
        sigfillset(&guard.sa_mask);  // no other ending signal interrupts the handler
        guard.sa_flags = 0;
        if (sigaction(ending_signals[i], &guard, &action_before[i]) == 0)
            installed[i] = true;
    }
}

void exit_signals_release(int fd)
{
    if (guarded_fd != fd)
        return;  // another port is guarded now
    for (int i = 0; i < signal_count; ++i) {
        if (installed[i])
            (void)sigaction(ending_signals[i], &action_before[i], nullptr);
        installed[i] = false;
    }
    guarded_fd = -1;
}

}  // namespace pello
