// line_probe: looks at a serial port from the side, for the checks on the
// kernel's own serial drivers (run inside the test guest).
//
//   line_probe show DEVICE      one line: the rate, the line settings, the
//                               modem lines and the low-latency flag
//   line_probe held PID DEVICE  the same, of the descriptor by which process
//                               PID holds DEVICE open (taken over with
//                               pidfd_getfd: a second open of a terminal
//                               would raise DTR and RTS itself)
//   line_probe rate COM<n> R    opens COM<n> at R through the port layer,
//                               prints the result and the rate the driver
//                               reports back (a line "@@rate ..." that the
//                               host answers), then holds the port open until
//                               a line (or the end) arrives on standard input
//
// It never takes the device over: no exclusive use, no change to the
// settings, so what it shows is what the utility set or left.
#include "serial/serial.hpp"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Prints the line of fd (an open terminal) and closes it.
int show_fd(const char* device, int fd)
{
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) {
        std::printf("show %s: no line settings: %s\n", device, std::strerror(errno));
        close(fd);
        return 1;
    }
    std::string modem = "modem=?";
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0)
        modem = std::string("dtr=") + ((lines & TIOCM_DTR) != 0 ? "1" : "0") +
                " rts=" + ((lines & TIOCM_RTS) != 0 ? "1" : "0");
    std::string latency = "low_latency=?";
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0)
        latency = std::string("low_latency=") +
                  ((serial.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0 ? "1" : "0");
    std::printf("show %s: speed=%u iflag=%o oflag=%o cflag=%o lflag=%o %s %s\n", device,
                static_cast<unsigned>(line.c_ospeed), static_cast<unsigned>(line.c_iflag),
                static_cast<unsigned>(line.c_oflag), static_cast<unsigned>(line.c_cflag),
                static_cast<unsigned>(line.c_lflag), modem.c_str(), latency.c_str());
    close(fd);
    return 0;
}

int show(const char* device)
{
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("show %s: cannot open: %s\n", device, std::strerror(errno));
        return 1;
    }
    return show_fd(device, fd);
}

int held(const char* pid_text, const char* device)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path wanted = fs::canonical(device, error);
    const long pid = std::strtol(pid_text, nullptr, 10);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (wanted.empty() || pidfd < 0) {
        std::printf("held %s: no process %ld: %s\n", device, pid, std::strerror(errno));
        return 1;
    }
    const fs::path fds = fs::path("/proc") / std::to_string(pid) / "fd";
    for (const auto& entry : fs::directory_iterator(fds, error)) {
        if (fs::read_symlink(entry.path(), error) != wanted)
            continue;
        const long number = std::strtol(entry.path().filename().c_str(), nullptr, 10);
        const int fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, number, 0));
        close(pidfd);
        if (fd < 0) {
            std::printf("held %s: cannot take descriptor %ld: %s\n", device, number,
                        std::strerror(errno));
            return 1;
        }
        return show_fd(device, fd);
    }
    close(pidfd);
    std::printf("held %s: process %ld does not hold it open\n", device, pid);
    return 1;
}

int rate(const char* name, const char* text)
{
    const auto wanted = static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
    const int result = pello::open_port(name, wanted);
    unsigned reported = 0;
    const std::string path = pello::port_device_path(name);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios2 line{};
    if (fd >= 0 && ioctl(fd, TCGETS2, &line) == 0)
        reported = static_cast<unsigned>(line.c_ospeed);
    if (fd >= 0)
        close(fd);
    std::printf("@@rate %s %d: open_port %d, driver reports %u\n", name, wanted, result, reported);
    std::fflush(stdout);
    char answer[64];
    (void)!std::fgets(answer, sizeof answer, stdin);
    pello::close_port();
    return result == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "show") == 0)
        return show(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "held") == 0)
        return held(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "rate") == 0)
        return rate(argv[2], argv[3]);
    std::fprintf(stderr, "usage: line_probe show DEVICE | held PID DEVICE | rate COM<n> RATE\n");
    return 2;
}
