// The test support of support/run.hpp on Windows: a program runs as a Win32
// process with its standard input, output and error on pipes.
#include "support/run.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace pello::test {

namespace {

// Everything that arrives on a pipe until its writer closes it.
void drain(HANDLE pipe, std::string& into)
{
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0)
        into.append(chunk, n);
}

// A program's standard output and error are in text mode: each "\n" it
// printed arrives as "\r\n". Undo exactly that, so that the texts compare
// with the ones the program printed.
std::string from_text_mode(const std::string& raw)
{
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        text += raw[i];
    }
    return text;
}

// One argument of a command line, quoted as the C runtime parses it.
std::string quoted(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    std::size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped;
        // elsewhere they stand for themselves.
        q.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        q += c;
        slashes = 0;
    }
    q.append(2 * slashes, '\\');
    return q + "\"";
}

struct pipe_pair {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// A pipe whose child_end (0 read, 1 write) is inherited by the child.
bool make_pipe(pipe_pair& p, int child_end)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&p.read, &p.write, &inherit, 0))
        return false;
    return SetHandleInformation(child_end == 0 ? p.write : p.read, HANDLE_FLAG_INHERIT, 0) != 0;
}

void close_handle(HANDLE& h)
{
    if (h != nullptr)
        CloseHandle(h);
    h = nullptr;
}

}  // namespace

run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       int timeout_ms)
{
    run_result result;
    if (argv.empty())
        return result;
    pipe_pair in, out, err;
    if (!make_pipe(in, 0) || !make_pipe(out, 1) || !make_pipe(err, 1)) {
        for (pipe_pair* p : {&in, &out, &err}) {
            close_handle(p->read);
            close_handle(p->write);
        }
        result.err = "cannot create pipes";
        return result;
    }

    std::string command;
    for (const std::string& arg : argv)
        command += (command.empty() ? "" : " ") + quoted(arg);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in.read;
    start.hStdOutput = out.write;
    start.hStdError = err.write;
    PROCESS_INFORMATION process{};
    const auto begin = std::chrono::steady_clock::now();
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &start, &process);
    close_handle(in.read);
    close_handle(out.write);
    close_handle(err.write);
    if (!started) {
        close_handle(in.write);
        close_handle(out.read);
        close_handle(err.read);
        result.err = "cannot start " + argv[0];
        return result;
    }
    CloseHandle(process.hThread);

    std::string raw_out, raw_err;
    std::thread feeder([&] {
        DWORD n = 0;
        std::size_t done = 0;
        while (done < input.size() &&
               WriteFile(in.write, input.data() + done, static_cast<DWORD>(input.size() - done), &n,
                         nullptr) &&
               n > 0)
            done += n;
        close_handle(in.write);
    });
    std::thread out_reader([&] { drain(out.read, raw_out); });
    std::thread err_reader([&] { drain(err.read, raw_err); });

    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(process.hProcess, 137);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    feeder.join();
    out_reader.join();
    err_reader.join();
    close_handle(out.read);
    close_handle(err.read);

    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    result.status = static_cast<int>(code);
    result.out = from_text_mode(raw_out);
    result.err = from_text_mode(raw_err);
    return result;
}

std::string bin_path(const std::string& name)
{
    return std::string(PELLO_BIN_DIR) + "/" + name + ".exe";
}

}  // namespace pello::test
