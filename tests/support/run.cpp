#include "support/run.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pello::test {

namespace {

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

child start_child(const std::function<void()>& body)
{
    child c;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return c;
    std::fflush(stdout);
    std::fflush(stderr);
    c.start = std::chrono::steady_clock::now();
    c.pid = fork();
    if (c.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd > 2)
                close(fd);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(0);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    c.in = in[1];
    c.out = out[0];
    c.err = err[0];
    return c;
}

run_result finish_child(child& c, const std::string& input, int timeout_ms)
{
    run_result result;
    if (c.pid < 0)
        return result;
    set_nonblocking(c.in);
    set_nonblocking(c.out);
    set_nonblocking(c.err);
    std::signal(SIGPIPE, SIG_IGN);

    std::size_t written = 0;
    int in_fd = c.in;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    auto deadline = c.start + std::chrono::milliseconds(timeout_ms);
    while (out_open || err_open) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result.timed_out = true;
            kill(c.pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_open) {
            fds[n] = {c.out, POLLIN, 0};
            out_i = n++;
        }
        if (err_open) {
            fds[n] = {c.err, POLLIN, 0};
            err_i = n++;
        }
        if (in_fd >= 0) {
            fds[n] = {in_fd, POLLOUT, 0};
            in_i = n++;
        }
        int wait =
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) +
            1;
        if (poll(fds, static_cast<nfds_t>(n), wait) < 0 && errno != EINTR)
            break;
        char buf[65536];
        auto drain = [&](int idx, int fd, std::string& to, bool& open) {
            if (idx < 0 || fds[idx].revents == 0)
                return;
            ssize_t k = read(fd, buf, sizeof buf);
            if (k > 0)
                to.append(buf, static_cast<std::size_t>(k));
            else if (k == 0 || (errno != EAGAIN && errno != EINTR))
                open = false;
        };
        drain(out_i, c.out, result.out, out_open);
        drain(err_i, c.err, result.err, err_open);
        if (in_i >= 0 && fds[in_i].revents != 0) {
            ssize_t k = write(in_fd, input.data() + written, input.size() - written);
            if (k > 0)
                written += static_cast<std::size_t>(k);
            if ((k < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    close(c.out);
    close(c.err);
    int status = 0;
    waitpid(c.pid, &status, 0);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - c.start).count();
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       int timeout_ms)
{
    child c = start_child([&] { exec_program(argv); });
    return finish_child(c, input, timeout_ms);
}

std::string bin_path(const std::string& name)
{
    return std::string(PELLO_BIN_DIR) + "/" + name;
}

std::vector<std::string> program_command(const std::vector<std::string>& argv)
{
    std::vector<std::string> command;
    const std::string bin = bin_path("");
    if (!argv.empty() && argv[0].rfind(bin, 0) == 0) {
        std::istringstream emulator(PELLO_EMULATOR);
        for (std::string word; emulator >> word;)
            command.push_back(word);
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

void exec_program(const std::vector<std::string>& argv)
{
    std::vector<std::string> command = program_command(argv);
    std::vector<char*> args;
    for (std::string& word : command)
        args.push_back(word.data());
    args.push_back(nullptr);
    if (!command.empty())
        execv(args[0], args.data());
    _exit(127);
}

com_lock::com_lock(int number)
{
    std::filesystem::create_directories(PELLO_PORT_DIR);
    const std::string path =
        std::string(PELLO_PORT_DIR) + "/.COM" + std::to_string(number) + ".lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0)
        flock(fd_, LOCK_EX);
}

com_lock::~com_lock()
{
    if (fd_ >= 0)
        close(fd_);
}

}  // namespace pello::test
