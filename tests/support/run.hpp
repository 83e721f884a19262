// Test support: running a program with scripted standard input and capturing
// what it prints, and paths of the build.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pello::test {

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    bool timed_out = false;
    std::string out;     // standard output
    std::string err;     // standard error
    double seconds = 0;  // wall time from start to exit
};

// Runs argv[0] (a path) with the given standard input; waits at most
// timeout_ms, then kills it (timed_out is set).
run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       int timeout_ms = 60000);

#if !defined(_WIN32)
// A child process whose standard streams are pipes of this one.
struct child {
    int pid = -1;
    int in = -1, out = -1, err = -1;
    std::chrono::steady_clock::time_point start;
};

// Runs body in a forked child, standard output unbuffered as the utility
// runs; the child ends with status 0 when body returns. Several may run at
// once; finish_child collects each.
child start_child(const std::function<void()>& body);

// Writes input to the child's standard input and collects what it prints
// until it ends; waits at most timeout_ms, then kills it (timed_out is set).
run_result finish_child(child& c, const std::string& input = "", int timeout_ms = 60000);
#endif

// What a call prints on standard output.
template <class F>
std::string stdout_of(F&& call)
{
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

// build/bin/<name>
std::string bin_path(const std::string& name);

// argv as it is started: in a cross build a program of build/bin/ runs
// under the emulator command, which comes first.
std::vector<std::string> program_command(const std::vector<std::string>& argv);

// In a child after fork: executes program_command(argv); ends the child
// with status 127 when that fails.
[[noreturn]] void exec_program(const std::vector<std::string>& argv);

// A fresh empty folder for one test, under the build tree.
std::string temp_dir(const std::string& name);

// Writes text to a file and returns its path.
std::string write_file(const std::string& path, const std::string& text);

// Reads a whole file ("" when it cannot be read).
std::string read_file(const std::string& path);

// Test cases that link a pseudo-terminal as the same COM<n> run one at a time,
// whatever CTest runs in parallel: each holds this lock on COM<n> meanwhile.
class com_lock {
public:
    explicit com_lock(int number);
    ~com_lock();
    com_lock(const com_lock&) = delete;
    com_lock& operator=(const com_lock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace pello::test
