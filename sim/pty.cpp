// The line: a pseudo-terminal whose slave side is linked where the host's COM
// port template points, and the watch on the host opening and closing it.
#include "sim.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pello::sim {

namespace {

bool master_hung_up(int master)
{
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

// The slave starts raw: the host sets its own settings when it opens the
// port, but nothing the device sends is to be changed before that.
void make_raw(const std::string& slave)
{
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&settings, B9600);
        cfsetospeed(&settings, B9600);
        (void)tcsetattr(fd, TCSANOW, &settings);
    }
    close(fd);
}

// Points the link at the slave in one step. What is at the path may only
// be a symbolic link (an earlier emulator's): a file or a device node there
// (/dev/ttyS2 given by mistake, as root) is left alone and the emulator
// does not start.
bool make_link(const device& d)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path link(d.opt.link);
    if (link.has_parent_path())
        fs::create_directories(link.parent_path(), error);
    struct stat found {};
    if (lstat(d.opt.link.c_str(), &found) == 0 && !S_ISLNK(found.st_mode)) {
        std::fprintf(stderr, "pellomatic-sim: %s exists and is not a symbolic link: not replaced\n",
                     d.opt.link.c_str());
        return false;
    }
    const std::string temp = d.opt.link + ".new-" + std::to_string(getpid());
    (void)unlink(temp.c_str());
    if (symlink(d.slave.c_str(), temp.c_str()) != 0 ||
        rename(temp.c_str(), d.opt.link.c_str()) != 0) {
        std::fprintf(stderr, "pellomatic-sim: cannot link %s to %s: %s\n", d.opt.link.c_str(),
                     d.slave.c_str(), std::strerror(errno));
        (void)unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool open_line(device& d)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        std::fprintf(stderr, "pellomatic-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        if (master >= 0)
            close(master);
        return false;
    }
    (void)fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // In packet mode every read of the master starts with a status byte,
    // which tells when the host flushes its input.
    int packet_mode = 1;
    if (d.opt.power_at_flush > 0 && ioctl(master, TIOCPKT, &packet_mode) != 0) {
        std::fprintf(stderr, "pellomatic-sim: cannot see the host's flushes: %s\n",
                     std::strerror(errno));
        close(master);
        return false;
    }
    d.master = master;
    d.slave = name;
    make_raw(d.slave);

    // The host's open and close of the slave are queued in order, so a close
    // followed at once by a new open is never missed.
    if (d.notify < 0)
        d.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (d.notify >= 0) {
        d.watch = inotify_add_watch(d.notify, d.slave.c_str(), IN_OPEN | IN_CLOSE);
        if (d.watch < 0) {
            close(d.notify);
            d.notify = -1;
        }
    }
    d.host_opens = 0;
    d.host_open = false;
    if (!make_link(d))
        return false;
    d.link_made = true;
    trace("line %s linked at %s%s", d.slave.c_str(), d.opt.link.c_str(),
          d.notify < 0 ? " (no inotify: polling)" : "");
    return true;
}

void close_line(device& d)
{
    resume_line(d);
    if (d.notify >= 0 && d.watch >= 0)
        (void)inotify_rm_watch(d.notify, d.watch);
    d.watch = -1;
    if (d.master >= 0)
        close(d.master);
    d.master = -1;
    d.host_open = false;
    d.host_opens = 0;
}

void remove_link(const device& d)
{
    if (!d.link_made)
        return;
    // Only our own link: a later emulator may have taken the path over.
    char target[256] = {};
    const ssize_t n = readlink(d.opt.link.c_str(), target, sizeof target - 1);
    if (n > 0 && d.slave == std::string(target, static_cast<std::size_t>(n)))
        (void)unlink(d.opt.link.c_str());
}

void check_host(device& d, time_point now)
{
    if (d.master < 0)
        return;
    if (d.notify >= 0) {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = read(d.notify, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                inotify_event e;
                std::memcpy(&e, buffer + at, sizeof e);
                at += static_cast<ssize_t>(sizeof e + e.len);
                if (e.wd != d.watch)
                    continue;
                if ((e.mask & IN_OPEN) != 0 && d.host_opens++ == 0)
                    host_opened(d, now);
                if ((e.mask & IN_CLOSE) != 0 && d.host_opens > 0 && --d.host_opens == 0)
                    host_closed(d, now);
            }
        }
    }
    // The master reports a hang-up while no slave is open: the ground truth
    // when an event was merged or is still on its way.
    const bool hup = master_hung_up(d.master);
    if (d.host_open && hup) {
        d.host_opens = 0;
        host_closed(d, now);
    } else if (!d.host_open && !hup && d.notify < 0) {
        d.host_opens = 1;
        host_opened(d, now);
    }
}

void read_master(device& d, time_point now)
{
    unsigned char buffer[4096];
    for (;;) {
        const ssize_t n = read(d.master, buffer, sizeof buffer);
        if (n <= 0)
            return;  // nothing more now, or the host has closed (EIO)
        auto count = static_cast<std::size_t>(n);
        const unsigned char* data = buffer;
        if (d.opt.power_at_flush > 0) {
            // A status byte alone, or TIOCPKT_DATA (0) before the bytes.
            if (buffer[0] != TIOCPKT_DATA) {
                if ((buffer[0] & TIOCPKT_FLUSHREAD) != 0)
                    host_flushed(d, now);
                continue;
            }
            ++data;
            --count;
        }
        trace_bytes("recv", data, count);
        // With pacing every byte is handled one character time after the
        // previous one, as if it had only now come down the line.
        const nanoseconds step = d.opt.pace ? char_time(d) : nanoseconds(0);
        for (std::size_t i = 0; i < count; ++i) {
            time_point due = now;
            if (d.opt.pace)
                due = std::max(now, d.rx_last) + step;
            d.rx_last = due;
            d.rx.emplace_back(due, data[i]);
        }
    }
}

// The far end stops reading: the slave's output is stopped (as by XOFF), so
// whoever writes the slave (the host, or an emulator passing a guest's UART
// on) finds it full and its bytes stay where they are. The stop belongs to
// the terminal, not to a descriptor; the slave is held open until the resume
// only so that the same terminal is started again.
void stall_line(device& d)
{
    if (d.stall_fd >= 0 || d.slave.empty())
        return;
    const int fd = open(d.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || tcflow(fd, TCOOFF) != 0) {
        event(d, "cannot stall the line: %s", std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return;
    }
    d.stall_fd = fd;
    event(d, "line stalled: nothing more is taken from the host (SIGUSR2 resumes)");
}

void resume_line(device& d)
{
    if (d.stall_fd < 0)
        return;
    (void)tcflow(d.stall_fd, TCOON);
    close(d.stall_fd);
    d.stall_fd = -1;
    event(d, "line resumed");
}

}  // namespace pello::sim
