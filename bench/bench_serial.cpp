// bench_serial: how closely read_port keeps its deadline, how soon it hands
// over a byte that arrives, what a silent read costs in CPU time, and how
// closely and cheaply write_port ends a write whose drain never completes,
// over a pseudo-terminal linked as COM<n> in the test port folder. The
// lateness of a bare ppoll of the same length, taken in turns with the
// reads, shows what the machine's scheduler adds by itself.
#include "bench_support.hpp"

#include "serial/serial.hpp"
#include "serial/test_seams.hpp"
#include "support/com_numbers.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace pello::bench;

// The port of this program in the build's port folder.
const std::string port_name = pello::test::com::port_name(pello::test::com::bench_serial);

// A drain that waits like one on a stalled line: until a signal comes.
int held_drain(int)
{
    ppoll(nullptr, 0, nullptr, nullptr);
    return -1;
}

// The system still holds 5 bytes of the write: it fails at the drain's bound.
int five_held(int)
{
    return 5;
}

}  // namespace

int main()
{
    report_begin("/dev/null");
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("bench_serial: pseudo-terminal");
        return 1;
    }
    const std::string link = std::string(PELLO_PORT_DIR) + "/" + port_name;
    std::filesystem::create_directories(PELLO_PORT_DIR);
    unlink(link.c_str());
    if (symlink(ptsname(master), link.c_str()) != 0) {
        std::perror("bench_serial: link");
        return 1;
    }
    if (pello::open_port(port_name.c_str(), 115200) != 0)
        return 1;

    // Lateness past the deadline of a read that receives nothing: 1 byte,
    // limit 20 ms at 115200 baud, so the deadline is 30 ms after the start.
    // In turns with it, the machine's own baseline: a bare 30 ms ppoll, late
    // by as much as the scheduler makes it.
    constexpr int reads = 400;
    std::vector<double> late, bare;
    char byte = 0;
    for (int i = 0; i < reads; ++i) {
        auto start = steady::now();
        pello::read_port(port_name.c_str(), &byte, 1, 20);
        late.push_back(ms_between(start, steady::now()) - 30.0);
        start = steady::now();
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
        pello::read_port(port_name.c_str(), &byte, 1, 1000);
        const auto got = steady::now();
        device.join();
        handover.push_back(ms_between(sent, got));
    }

    // CPU time of a 2-second read that receives nothing.
    const double cpu_before = process_cpu_ms();
    const auto start = steady::now();
    pello::read_port(port_name.c_str(), &byte, 1, 1990);
    const double wall = ms_between(start, steady::now());
    const double cpu = process_cpu_ms() - cpu_before;

    // Writes whose drain is held: 21 bytes at 115200 baud, a write limit of
    // 31 ms and the drain's allowance. Lateness of the return past that
    // bound, and CPU time per write.
    constexpr int held = 50;
    constexpr int held_length = 21;
    const double held_limit =
        static_cast<double>(pello::write_limit_ms(115200, held_length) + pello::drain_allowance_ms);
    std::vector<double> held_late, held_cpu;
    pello::set_port_drain(held_drain, five_held);
    const std::string packet(held_length, 'h');
    for (int i = 0; i < held; ++i) {
        const double cpu_at = thread_cpu_ms();
        const auto at = steady::now();
        const int code = pello::write_port(port_name.c_str(), packet.data(), held_length);
        held_late.push_back(ms_between(at, steady::now()) - held_limit);
        held_cpu.push_back(thread_cpu_ms() - cpu_at);
        if (code != -3)
            complain("bench_serial: a held write returned %d\n", code);
        tcflush(master, TCIFLUSH);
    }
    pello::set_port_drain(nullptr);

    pello::close_port();
    close(master);
    unlink(link.c_str());

    const figures late_f = summarize(late);
    row("1",
        format_text("read_port lateness past its deadline (%d silent reads of 1 byte, limit 20 ms, "
                    "115200 baud)",
                    reads),
        pmax_text(late_f), "p99 < 2 ms", verdict(late_f.p99 < 2.0));
    row("1",
        format_text("Baseline: lateness of a bare 30 ms ppoll on this machine (%d, in turns with "
                    "the reads)",
                    reads),
        pmax_text(summarize(bare)), "-", "-");
    row("1",
        format_text("Byte arrival to read_port return (%d reads, byte written 5 ms into the read)",
                    handovers),
        pmax_text(summarize(handover)), "-", "-");
    row("2", "CPU time (user + system) of a 2-second read that receives nothing",
        format_text("%.3f ms (wall %.1f ms)", cpu, wall), "< 5 ms", verdict(cpu < 5.0));
    const figures held_late_f = summarize(held_late);
    const figures held_cpu_f = summarize(held_cpu);
    row("7",
        format_text("write_port lateness past its drain's bound, drain held with bytes queued (%d "
                    "writes of %d bytes, 115200 baud, write limit + %lld ms = %.0f ms)",
                    held, held_length, static_cast<long long>(pello::drain_allowance_ms),
                    held_limit),
        pmax_text(held_late_f), "p99 < 2 ms", verdict(held_late_f.p99 < 2.0));
    row("7", format_text("CPU time (user + system) of one such write (%d writes)", held),
        pmax_text(held_cpu_f), "< 1 ms", verdict(held_cpu_f.max < 1.0));
    report_end();
    return 0;
}
