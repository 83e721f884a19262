#include "bench_support.hpp"

#include "textio/textio.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pello::bench {

namespace {

std::FILE* report_stream = nullptr;

double timespec_ms(const timespec& t)
{
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1.0e6;
}

// A small deterministic generator, so that every run parses and sends the
// same bytes.
struct lcg {
    std::uint32_t state;
    std::uint32_t next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

void append_record(std::string& out, int count, unsigned address, int type,
                   const unsigned char* data)
{
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFFu) +
                   static_cast<unsigned>(type);
    out += format_text(":%02X%04X%02X", count, address & 0xFFFFu, type);
    for (int i = 0; i < count; ++i) {
        out += format_text("%02X", data[i]);
        sum += data[i];
    }
    out += format_text("%02X\n", (0x100u - (sum & 0xFFu)) & 0xFFu);
}

}  // namespace

double ms_between(steady::time_point from, steady::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double thread_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return timespec_ms(t);
}

double process_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return timespec_ms(t);
}

figures summarize(std::vector<double> samples)
{
    figures f;
    f.count = samples.size();
    if (samples.empty())
        return f;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
        return samples[i];
    };
    f.p50 = at(0.50);
    f.p99 = at(0.99);
    f.max = samples.back();
    double sum = 0;
    for (double s : samples)
        sum += s;
    f.mean = sum / static_cast<double>(samples.size());
    return f;
}

std::string pmax_text(const figures& f)
{
    return format_text("p50 %.3f / p99 %.3f / max %.3f ms", f.p50, f.p99, f.max);
}

void report_begin(const char* quiet_path)
{
    std::fflush(stdout);
    const int saved = fcntl(1, F_DUPFD_CLOEXEC, 3);
    report_stream = saved >= 0 ? fdopen(saved, "w") : nullptr;
    if (report_stream == nullptr)
        report_stream = stderr;
    const int quiet = open(quiet_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (quiet >= 0) {
        dup2(quiet, 1);
        close(quiet);
    }
    // The utility's own start-up makes its output unbuffered; so does this.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void row(const std::string& item, const std::string& measure, const std::string& result,
         const std::string& goal, const std::string& verdict_text)
{
    std::FILE* out = report_stream != nullptr ? report_stream : stdout;
    std::fprintf(out, "| %s | %s | %s | %s | %s |\n", item.c_str(), measure.c_str(), result.c_str(),
                 goal.c_str(), verdict_text.c_str());
    std::fflush(out);
}

void remark(const std::string& line)
{
    std::FILE* out = report_stream != nullptr ? report_stream : stdout;
    std::fprintf(out, "- %s\n", line.c_str());
    std::fflush(out);
}

void report_end()
{
    if (report_stream != nullptr && report_stream != stderr)
        std::fclose(report_stream);
    report_stream = nullptr;
}

void complain(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string message = vformat_text(format, args);
    va_end(args);
    std::fprintf(stderr, "%s\n", message.c_str());
}

const char* verdict(bool ok)
{
    return ok ? "met" : "MISSED";
}

std::string rules_file_text(int rule_count)
{
    static const char* const compass[] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};
    std::string out = "# Generated Rules file: every rule type, the three angle notations\n";
    lcg random{12345};
    for (int i = 0; i < rule_count; ++i) {
        if (i % 10 == 0)
            out += format_text("\n# group %d\n", i / 10);
        const int minutes = static_cast<int>(random.next() % 60);
        const int seconds = static_cast<int>(random.next() % 60);
        switch (i % 10) {
        case 0:
            out += format_text("drop  src  N0C%03d\n", i);
            break;
        case 1:
            out += format_text("drop  source  K1ABC-%d   ; with an SSID\n", i % 16);
            break;
        case 2:
            out += format_text("pass  dst  APRS\n");
            break;
        case 3:
            out += format_text("pass  destin  WIDE*\n");
            break;
        case 4:
            out += format_text("drop  dst  *\n");
            break;
        case 5:
            out += format_text("pass circle %d, 40:%02d:%02d, -105:16:12.5\n", 1 + i % 50, minutes,
                               seconds);
            break;
        case 6:
            out += format_text("pass compass %s 39.%02d.0, -104.59.4\n", compass[i % 8], minutes);
            break;
        case 7:
            out += format_text("drop rectangle N 41d %dm, 106d 15m W, 40d 30m %dc N, W 104d\n",
                               minutes, seconds);
            break;
        case 8:
            out += format_text("p se %dd, 135:00:00, 5, 60\n", 10 + i % 30);
            break;
        default:
            out += format_text("d sector 270.%02d., 300.5d, 10\n", minutes);
            break;
        }
    }
    return out;
}

std::string conf_file_text(std::size_t min_bytes)
{
    static const char* const block[] = {
        "# Generated Configuration file: every keyword, the three angle notations\n",
        "call      w1aw          ; station call sign\n",
        "ssid      10\n",
        "position  41:42:53.2  -072:43:38.1    # Colon notation\n",
        "base      41.42.887   72d43.635mW     ; Dotted and DMC\n",
        "host      57600\n",
        "dstar     9600\n",
        "tnc       19200\n",
        "widemax   3\n",
        "widetotal 6\n",
        "dupewin   30            ; duplicate window in seconds\n",
        "relay     yes\n",
        "nsr       no\n",
        "digipath  WIDE1-1,WIDE2-2,RELAY,TRACE3-3\n",
        "log       y\n",
        "fixvalid  y\n",
        "haltonerr n\n",
        "dropmangld y\n",
        "\n",
    };
    std::string out;
    while (out.size() < min_bytes)
        for (const char* line : block)
            out += line;
    return out;
}

std::string hex_file_text(std::size_t image_bytes, int record_bytes, long* records)
{
    std::string out;
    out.reserve(image_bytes * 3);
    lcg random{0xC0FFEEu};
    long count = 0;
    unsigned char data[256];
    for (std::size_t at = 0; at < image_bytes;) {
        if (at % 0x10000 == 0 && at > 0) {
            const unsigned upper = static_cast<unsigned>(at >> 16);
            const unsigned char segment[2] = {static_cast<unsigned char>(upper >> 8),
                                              static_cast<unsigned char>(upper & 0xFFu)};
            append_record(out, 2, 0, 4, segment);
            ++count;
        }
        std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(record_bytes), image_bytes - at);
        // A record stays within its 64 KB segment.
        n = std::min<std::size_t>(n, 0x10000 - at % 0x10000);
        for (std::size_t i = 0; i < n; ++i)
            data[i] = static_cast<unsigned char>(random.next());
        append_record(out, static_cast<int>(n), static_cast<unsigned>(at & 0xFFFFu), 0, data);
        ++count;
        at += n;
    }
    out += ":00000001FF\n";
    ++count;
    if (records != nullptr)
        *records = count;
    return out;
}

bool write_file(const std::string& path, const std::string& contents)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
    return std::fclose(f) == 0 && ok;
}

std::string scratch_dir()
{
    const std::string dir = std::string(PELLO_BENCH_TMP);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    return dir;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& input,
            const std::string& log_path)
{
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return -1;
    const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(log);
    if (pid > 0) {
        std::signal(SIGPIPE, SIG_IGN);
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t k = write(in[1], input.data() + done, input.size() - done);
            if (k <= 0 && errno != EINTR)
                break;
            if (k > 0)
                done += static_cast<std::size_t>(k);
        }
    }
    close(in[1]);
    return pid;
}

int finish(pid_t pid, int timeout_ms)
{
    if (pid <= 0)
        return -1;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0)
            return -1;
        if (steady::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace pello::bench
