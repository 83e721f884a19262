// The signals that end the program while a port is open (Ctrl-C, Ctrl-\, a
// kill, the operator's terminal hanging up, a closed pipe, the user signals)
// put the port back first, as close_port does: the line settings as found,
// the low-latency flag and the exclusive use. Otherwise the port stays raw
// and exclusive after the program has gone, and a pseudo-terminal refuses
// every later open by another user as busy. The signal then ends the program
// with its default action, so the exit status still tells what ended it.
// The drain's signal, meanwhile, ends nothing. Crash signals are left alone:
// a crash is a fault to mend, and the sanitizers report it.
#include "serial/linux_only.hpp"

#include <csignal>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pello {

namespace {

// The signals the guard takes: those that end the program, and the drain's.
constexpr int guarded_signals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGPIPE,
                                   SIGQUIT, SIGUSR1, SIGUSR2, drain_signal};
constexpr int signal_count = static_cast<int>(sizeof guarded_signals / sizeof guarded_signals[0]);

// The port the handler puts back, -1 when none; and what each signal did
// before, put back when the port is closed.
volatile std::sig_atomic_t guarded_fd = -1;
struct sigaction action_before[signal_count];
bool installed[signal_count] = {};

// Gives the port fd back as it was found and closes it: line_restore, the
// exclusive use given up, the lock released, fd closed. Only calls that are
// safe in a signal handler.
void restore_and_close(int fd)
{
    line_restore(fd);
    (void)ioctl(fd, TIOCNXCL);
    (void)flock(fd, LOCK_UN);
    (void)close(fd);
}

// Only calls that are safe in a signal handler: those of restore_and_close,
// sigaction, sigprocmask and raise.
void put_back_and_end(int signal_number)
{
    const int fd = guarded_fd;
    guarded_fd = -1;
    if (fd >= 0)
        restore_and_close(fd);
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

// The drain's signal interrupts the call it arrives in (EINTR) and does
// nothing else: a drain goes on until its deadline, a read or a wait until
// theirs.
void interrupt_only(int)
{
}

}  // namespace

void exit_signals_guard(int fd)
{
    guarded_fd = fd;
    for (int i = 0; i < signal_count; ++i) {
        if (installed[i])
            continue;
        const int signal_number = guarded_signals[i];
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) != 0)
            continue;
        struct sigaction guard {};
        if (signal_number == drain_signal) {
            // The drain needs its signal even where the program was started
            // to ignore it.
            guard.sa_handler = interrupt_only;
            sigemptyset(&guard.sa_mask);
        } else if (before.sa_handler == SIG_IGN) {
            // An ending signal the program was started to ignore (nohup, a
            // background job) stays ignored.
            continue;
        } else {
            guard.sa_handler = put_back_and_end;
            sigfillset(&guard.sa_mask);  // no other signal interrupts the put-back
        }
        guard.sa_flags = 0;  // no SA_RESTART: a drain must return when interrupted
        if (sigaction(signal_number, &guard, &action_before[i]) == 0)
            installed[i] = true;
    }
}

void port_put_back(int fd)
{
    // Held off from before the put-back until the earlier actions are back,
    // an ending signal never finds the guard on a descriptor already closed
    // (and maybe reused); one that came meanwhile acts once they are back.
    sigset_t ending{}, mask_before{};
    sigemptyset(&ending);
    for (const int signal_number : guarded_signals)
        if (signal_number != drain_signal)
            sigaddset(&ending, signal_number);
    (void)pthread_sigmask(SIG_BLOCK, &ending, &mask_before);
    restore_and_close(fd);
    if (guarded_fd == fd) {  // else a newer port is guarded
        guarded_fd = -1;
        for (int i = 0; i < signal_count; ++i) {
            if (installed[i])
                (void)sigaction(guarded_signals[i], &action_before[i], nullptr);
            installed[i] = false;
        }
    }
    (void)pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
}

}  // namespace pello
