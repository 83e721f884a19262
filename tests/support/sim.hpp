// Test support: the device emulator pellomatic-sim, started for one test on
// COM<n>. Its pseudo-terminal is linked at PELLO_PORT_DIR "/COM<n>", where the
// test build of the utility finds COM<n>; what it received, its trace and
// its output go to a fresh folder PELLO_TEST_TMP "/sim-COM<n>".
//
// Typical use:
//   pello::test::sim_device sim(com::e2e_version, {"--device-version", "2.0"});
//   ASSERT_TRUE(sim.ready()) << sim.err();
//   auto r = run_program({bin_path("pellomatic-e2e")},
//                        "connect " + std::to_string(com::e2e_version) + "\n...");
//   sim.stop();                         // the files are complete after this
//   EXPECT_EQ(sim.file("conf.bin").size(), 120u);
//
// Tests that run at the same time need different COM numbers, which are
// given out in com_numbers.hpp. Tests that share a number hold com_lock.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace pello::test {

class sim_device {
public:
    // Starts the emulator with --link, --out and --log set for COM<com> and
    // the given options after them, and waits (at most 5 s) until the link
    // exists. A link left by an earlier run is removed first. The device
    // powers up as the utility's drain of the line ends (--power-at-flush 2).
    explicit sim_device(int com, const std::vector<std::string>& options = {});
    ~sim_device();  // stop()
    sim_device(const sim_device&) = delete;
    sim_device& operator=(const sim_device&) = delete;

    // The emulator runs and its link is in place.
    bool ready() const { return ready_; }

    // PELLO_PORT_DIR "/COM<n>": the path to open as the host.
    const std::string& link() const { return link_; }
    // The folder of --out, where a session leaves its files.
    const std::string& out_dir() const { return out_dir_; }

    // Power-cycles the device (SIGUSR1), as the operator would when told to.
    void power_cycle();

    // Ends the emulator (SIGTERM; SIGKILL after 5 s) and returns its exit
    // status (128 + signal when killed). The session it was in writes its
    // files first. Later calls return the same status.
    int stop();

    // Waits until the emulator ends by itself (--once), at most timeout_ms;
    // true when it has ended.
    bool wait_exit(int timeout_ms);

    // A file of the out folder ("" when it does not exist).
    std::string file(const std::string& name) const;
    // The trace written with --log.
    std::string log() const;
    // What the emulator printed on standard output and standard error.
    std::string out() const;
    std::string err() const;

private:
    bool reap(bool block);

    std::string link_;
    std::string dir_;
    std::string out_dir_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool ready_ = false;
};

}  // namespace pello::test
