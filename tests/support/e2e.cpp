#include "support/e2e.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>

#include "diag/diag.hpp"

namespace pello::e2e {

test::run_result run_utility(const std::string& input, int timeout_ms)
{
    return test::run_program({test::bin_path("pellomatic-e2e")}, input, timeout_ms);
}

std::string transcript(const std::string& out)
{
    std::size_t at = out.find("Command> ");
    return at == std::string::npos ? out : out.substr(at);
}

std::string connect_start(long rate)
{
    return "Connecting at " + std::to_string(rate) +
           "...\n\a\aTURN ON the Pellomatic or CYCLE THE POWER if it is already on.\n"
           "You have 20 seconds to do this...";
}

std::string connect_ok(long rate)
{
    return connect_start(rate) + "\n\aConnected at " + std::to_string(rate) + "\n";
}

std::string dump(const bytes& data)
{
    return test::stdout_of([&] {
        hexdump(stdout, 1, "Got", data.data(), static_cast<std::int32_t>(data.size()), 10);
    });
}

namespace {

bool is_hex_byte(const std::string& token)
{
    return token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) != 0 &&
           std::isxdigit(static_cast<unsigned char>(token[1])) != 0;
}

bytes hex_tokens(std::istringstream& in, const std::string& stop)
{
    bytes out;
    std::string token;
    while (in >> token && token != stop)
        if (is_hex_byte(token))
            out.push_back(static_cast<unsigned char>(std::stoul(token, nullptr, 16)));
    return out;
}

}  // namespace

std::vector<bytes> traced(const std::string& log, const std::string& direction)
{
    std::vector<bytes> runs;
    for (const std::string& line : lines_of(log)) {
        std::istringstream in(line);
        std::string time, word, count;
        if (!(in >> time >> word >> count) || word != direction || count.back() != ':')
            continue;
        runs.push_back(hex_tokens(in, ""));
    }
    return runs;
}

std::vector<logged_packet> logged_packets(const std::string& log)
{
    std::vector<logged_packet> packets;
    for (const std::string& line : lines_of(log)) {
        std::istringstream in(line);
        std::string number, status;
        if (!(in >> number >> status))
            continue;
        logged_packet p;
        p.packet = hex_tokens(in, "->");
        std::string answer;
        in >> answer;
        // No answer (silence) is kept as 0x00.
        p.answer =
            is_hex_byte(answer) ? static_cast<unsigned char>(std::stoul(answer, nullptr, 16)) : 0;
        packets.push_back(p);
    }
    return packets;
}

bytes packet_for(const bytes& payload)
{
    std::size_t len = payload.size() + 4;
    bytes p(len, 0);
    p[0] = static_cast<unsigned char>(len >> 8);
    p[1] = static_cast<unsigned char>(len & 0xFF);
    std::copy(payload.begin(), payload.end(), p.begin() + 2);
    unsigned crc = 0x1D0F;
    for (std::size_t i = 0; i + 2 < len; ++i) {
        crc ^= static_cast<unsigned>(p[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) != 0 ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    p[len - 2] = static_cast<unsigned char>(crc >> 8);
    p[len - 1] = static_cast<unsigned char>(crc & 0xFF);
    return p;
}

bytes command_packet(const std::string& name, long size)
{
    bytes payload(17, 0);
    std::copy(name.begin(), name.end(), payload.begin());
    if (size >= 0) {
        std::string digits = std::to_string(size);
        std::copy(digits.begin(), digits.end(), payload.begin() + 12);
    }
    return packet_for(payload);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> record_lines(const std::string& text)
{
    std::vector<std::string> records;
    for (const std::string& line : lines_of(text))
        if (!line.empty() && line[0] == ':')
            records.push_back(line);
    return records;
}

live_utility::live_utility()
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (int s = 1; s < SIGRTMIN; ++s)  // what this process ignores does not carry over
            signal(s, SIG_DFL);
        test::exec_program({test::bin_path("pellomatic-e2e")});
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_fd_ = out[0];
    signal(SIGPIPE, SIG_IGN);
}

live_utility::~live_utility()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        finish();
    }
}

void live_utility::send(const std::string& text)
{
    if (in_ >= 0 && write(in_, text.data(), text.size()) < 0) {
        close(in_);
        in_ = -1;
    }
}

void live_utility::pump(int timeout_ms)
{
    pollfd p{out_fd_, POLLIN, 0};
    if (out_fd_ < 0 || poll(&p, 1, timeout_ms) <= 0)
        return;
    char buf[4096];
    ssize_t k = read(out_fd_, buf, sizeof buf);
    if (k > 0) {
        out_.append(buf, static_cast<std::size_t>(k));
    } else {
        close(out_fd_);
        out_fd_ = -1;
    }
}

bool live_utility::wait_for(const std::string& text, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || out_fd_ < 0)
            return false;
        pump(50);
    }
    return true;
}

std::string live_utility::next_prompt(int timeout_ms)
{
    const std::string prompt = "Command> ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t at;
    while ((at = out_.find(prompt, seen_)) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || out_fd_ < 0)
            return "(no prompt) " + out_.substr(seen_);
        pump(50);
    }
    std::string before = out_.substr(seen_, at - seen_);
    seen_ = at + prompt.size();
    return before;
}

int live_utility::finish()
{
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    // It ends at the end of its input; one that does not is killed.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (out_fd_ >= 0) {
        if (pid_ > 0 && std::chrono::steady_clock::now() >= deadline)
            kill(pid_, SIGKILL);
        pump(100);
    }
    int status = -1;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
        status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return status;
}

}  // namespace pello::e2e
