// A pseudo-terminal standing in for the device in the unit tests: its slave
// is linked as <build>/pty/COM<n>, so open_port("COM<n>") reaches it, and the
// test reads and answers on the master side in a thread of its own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run.hpp"

namespace pello::test {

class pty_peer {
public:
    explicit pty_peer(int com) : lock_(com)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        const char* slave = ptsname(master_);
        if (slave == nullptr)
            return;
        std::filesystem::create_directories(PELLO_PORT_DIR);
        link_ = std::string(PELLO_PORT_DIR) + "/COM" + std::to_string(com);
        std::filesystem::remove(link_);
        std::filesystem::create_symlink(slave, link_);
        // Holding the slave open keeps the master readable between the
        // program's opens.
        slave_ = open(slave, O_RDWR | O_NOCTTY);
    }
    ~pty_peer()
    {
        if (!link_.empty())
            std::filesystem::remove(link_);
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    pty_peer(const pty_peer&) = delete;
    pty_peer& operator=(const pty_peer&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }

    // Stops (or restarts) what the program writes to the port, so that its
    // writes find no room and fail at their time limit.
    void stop_output(bool stop) { tcflow(slave_, stop ? TCOOFF : TCOON); }

    // Waits until a program has opened the port and set it to raw mode (its
    // echo is off); false after timeout_ms.
    bool wait_opened(int timeout_ms = 5000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            termios t{};
            if (tcgetattr(slave_, &t) == 0 && (t.c_lflag & ECHO) == 0)
                return true;
            usleep(5000);
        }
        return false;
    }

    // Reads exactly n bytes, waiting at most timeout_ms in all; fewer when
    // the time runs out.
    std::vector<unsigned char> read(std::size_t n, int timeout_ms = 3000)
    {
        std::vector<unsigned char> got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            unsigned char buf[512];
            std::size_t want = std::min(sizeof buf, n - got.size());
            ssize_t k = ::read(master_, buf, want);
            if (k > 0)
                got.insert(got.end(), buf, buf + k);
        }
        return got;
    }

    void write(const std::vector<unsigned char>& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t k = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (k <= 0)
                break;
            done += static_cast<std::size_t>(k);
        }
    }

private:
    com_lock lock_;  // first: held before the link is made, released after it is gone
    int master_ = -1;
    int slave_ = -1;
    std::string link_;
};

}  // namespace pello::test
