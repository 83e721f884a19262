#include "support/sim.hpp"

#include "support/com_numbers.hpp"
#include "support/run.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pello::test {

namespace {

constexpr auto step = std::chrono::milliseconds(5);

}  // namespace

sim_device::sim_device(int com, const std::vector<std::string>& options)
{
    const std::string name = pello::test::com::port_name(com);
    link_ = std::string(PELLO_PORT_DIR) + "/" + name;
    dir_ = temp_dir("sim-" + name);
    out_dir_ = dir_ + "/out";
    std::filesystem::create_directories(PELLO_PORT_DIR);
    (void)unlink(link_.c_str());

    std::vector<std::string> argv = {
        bin_path("pellomatic-sim"), "--link", link_, "--out", out_dir_, "--log", dir_ + "/sim.log"};
    argv.insert(argv.end(), {"--power-at-flush", "2"});
    argv.insert(argv.end(), options.begin(), options.end());
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out =
        open((dir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err =
        open((dir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in >= 0 && out >= 0 && err >= 0)
        pid_ = fork();
    if (pid_ == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        exec_program(argv);
    }
    for (const int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    if (pid_ < 0)
        return;
    // The emulator links the pseudo-terminal only once its signal handlers
    // are in place, so a power-cycle after this cannot kill it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat st {};
        if (stat(link_.c_str(), &st) == 0) {
            ready_ = true;
            return;
        }
        if (reap(false))
            return;
        std::this_thread::sleep_for(step);
    }
}

sim_device::~sim_device()
{
    stop();
}

bool sim_device::reap(bool block)
{
    if (pid_ <= 0)
        return true;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_)
        return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    ready_ = false;
    return true;
}

void sim_device::power_cycle()
{
    if (pid_ > 0)
        kill(pid_, SIGUSR1);
}

int sim_device::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (!wait_exit(5000)) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
    return status_;
}

bool sim_device::wait_exit(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

std::string sim_device::file(const std::string& name) const
{
    return read_file(out_dir_ + "/" + name);
}

std::string sim_device::log() const
{
    return read_file(dir_ + "/sim.log");
}

std::string sim_device::out() const
{
    return read_file(dir_ + "/stdout.txt");
}

std::string sim_device::err() const
{
    return read_file(dir_ + "/stderr.txt");
}

}  // namespace pello::test
