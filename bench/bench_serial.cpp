// bench_serial: how closely read_port keeps its deadline, how soon it hands
// over a byte that arrives, and what a silent read costs in CPU time, over a
// pseudo-terminal linked as COM20 in the test port folder.
#include "serial/serial.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

double ms_between(steady::time_point from, steady::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double cpu_ms()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(use.ru_utime) + ms(use.ru_stime);
}

struct figures {
    double p50, p99, max;
};

figures summarize(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
        return samples[i];
    };
    return {at(0.50), at(0.99), samples.back()};
}

void row(const char* what, int count, const figures& f, const char* goal)
{
    std::printf("%-40s %6d %9.3f %9.3f %9.3f   %s\n", what, count, f.p50, f.p99, f.max, goal);
}

}  // namespace

int main()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("bench_serial: pseudo-terminal");
        return 1;
    }
    const std::string link = std::string(PELLO_PORT_DIR) + "/COM20";
    std::filesystem::create_directories(PELLO_PORT_DIR);
    unlink(link.c_str());
    if (symlink(ptsname(master), link.c_str()) != 0) {
        std::perror("bench_serial: link");
        return 1;
    }
    if (pello::open_port("COM20", 115200) != 0)
        return 1;

    // Lateness past the deadline of a read that receives nothing: 1 byte,
    // limit 20 ms at 115200 baud, so the deadline is 30 ms after the start.
    constexpr int reads = 200;
    std::vector<double> late;
    char byte = 0;
    for (int i = 0; i < reads; ++i) {
        const auto start = steady::now();
        pello::read_port("COM20", &byte, 1, 20);
        late.push_back(ms_between(start, steady::now()) - 30.0);
    }

    // The machine's own baseline: a bare 30 ms ppoll, late by as much as
    // the scheduler makes it.
    std::vector<double> bare;
    for (int i = 0; i < reads; ++i) {
        const auto start = steady::now();
        timespec wait{0, 30000000};
        ppoll(nullptr, 0, &wait, nullptr);
        bare.push_back(ms_between(start, steady::now()) - 30.0);
    }

    // Hand-over: a byte written by the device 5 ms into a read with a long
    // limit; time from the write to the return of read_port.
    constexpr int handovers = 100;
    std::vector<double> handover;
    for (int i = 0; i < handovers; ++i) {
        steady::time_point sent;
        std::thread device([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sent = steady::now();
            (void)!write(master, "k", 1);
        });
        pello::read_port("COM20", &byte, 1, 1000);
        const auto got = steady::now();
        device.join();
        handover.push_back(ms_between(sent, got));
    }

    // CPU time of a 2-second read that receives nothing.
    const double cpu_before = cpu_ms();
    const auto start = steady::now();
    pello::read_port("COM20", &byte, 1, 1990);
    const double wall = ms_between(start, steady::now());
    const double cpu = cpu_ms() - cpu_before;

    pello::close_port();
    close(master);
    unlink(link.c_str());

    std::printf("%-40s %6s %9s %9s %9s   %s\n", "measure (ms)", "count", "p50", "p99", "max",
                "goal");
    row("read_port lateness after its deadline", reads, summarize(late), "p99 < 2");
    row("bare 30 ms ppoll lateness (baseline)", reads, summarize(bare), "");
    row("byte arrival to read_port return", handovers, summarize(handover), "");
    std::printf("%-40s %6d %9.3f %9s %9s   %s\n", "CPU time of a silent 2 s read", 1, cpu, "", "",
                "< 5");
    std::printf("%-40s %6d %9.3f\n", "wall time of that read", 1, wall);
    return 0;
}
