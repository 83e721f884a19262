// No command leaves a file or the port open: the utility runs with its
// standard input on a pipe fed one command at a time, and while it waits at
// its prompt after each command its open descriptors are counted in
// /proc/<pid>/fd. The count after each command equals the count at the first
// prompt; while connected it has exactly one more, the port.
#include "faults.hpp"

#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <optional>

namespace pello::faults {
namespace {

// The descriptors open in the process now, with what each one is.
std::vector<std::string> descriptors(int pid)
{
    std::vector<std::string> open;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d)
        return {"(cannot list " + dir + ")"};
    while (const dirent* e = readdir(d.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        char target[512] = {};
        const ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
        open.push_back(name + " -> " +
                       (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?"));
    }
    return open;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& l : lines)
        text += "  " + l + "\n";
    return text;
}

TEST(Descriptors, NoneLeftOpenAfterAnyCommand)
{
    com_lock lock(com_b);
    const std::string port = std::to_string(com_b);
    const std::string dir = pello::test::temp_dir("faults-descriptors");
    const std::string good_conf =
        pello::test::write_file(dir + "/good.conf", "call n0call\nssid 7\n");
    const std::string bad_conf =
        pello::test::write_file(dir + "/bad.conf", "call n0call\nbogus 1\n");
    const std::string good_rules =
        pello::test::write_file(dir + "/good.rules", "pass dst N0CALL\n");
    const std::string bad_rules =
        pello::test::write_file(dir + "/bad.rules", "pass dst N0CALL\nbogus\n");
    const std::string bad_fw = pello::test::write_file(dir + "/bad.hex", ":0400000012345678FF\n");
    const std::string fw = firmware_file("faults-descriptors-fw");
    const std::string missing = dir + "/missing";

    e2e::live_utility u;
    u.next_prompt();
    const std::vector<std::string> at_start = descriptors(u.pid());
    ASSERT_GE(at_start.size(), 3u) << joined(at_start);

    struct step {
        std::string input;
        std::vector<std::string> emulator;  // options; empty: no emulator; {not_a_terminal}
        std::string printed;                // a text the command prints
        bool connected;                     // the port stays open after it
    };
    const std::vector<std::string> plain = {"--fill", "--loader-wait", "100"};
    auto with = [&plain](std::vector<std::string> more) {
        more.insert(more.end(), plain.begin(), plain.end());
        return more;
    };
    const std::string connect = "connect " + port + " 57600\n";
    const std::string firmware = "firmware " + port + " ";
    const std::string not_a_terminal = "(a plain file in place of the port)";
    const std::string not_settable =
        "required comm properties for port COM" + port + " not settable";
    const step steps[] = {
        {"configure " + bad_conf + "\n", {}, "Configuration processing failed", false},
        {"configure " + missing + "\n", {}, "Configuration processing failed", false},
        {"configure " + dir + "\n", {}, "Configuration processing failed", false},
        {"configure " + good_conf + "\n", {}, "Configuration items processed 2", false},
        {"rules " + bad_rules + "\n", {}, "Rule processing failed", false},
        {"rules " + missing + "\n", {}, "Rule processing failed", false},
        {"rules " + good_rules + "\n", {}, "Rules processed 1", false},
        {firmware + missing + "\ny\n", {}, "cannot open " + missing, false},
        {firmware + bad_fw + "\ny\n", {}, "Firmware file has some kind of error", false},
        {firmware + fw + "\ny\n", {}, "could not open COM port COM" + port, false},  // no emulator
        {connect, {}, "could not open COM port COM" + port, false},
        // Opened, then refused by the port's checks.
        {connect, {not_a_terminal}, not_settable, false},
        {firmware + fw + "\ny\n", {not_a_terminal}, not_settable, false},
        {connect, plain, "Connected at 57600", true},
        {"baud 19200\n", {}, "Connected at 19200", true},  // the same emulator
        {"disconnect\n", {}, "Disconnected", false},
        {connect, with({"--no-name"}), "did not receive the Pellomatic prompt", false},
        {connect, with({"--device-version", "2.0"}), "received Pellomatic version 2.0", false},
        {connect, with({"--confirm", "Connected 9600"}),
         "did not receive the Pellomatic Connected string", false},
        {connect, plain, "Connected at 57600", true},
        {"download\n", {}, download_ok + power_off, false},
        {connect, with({"--reply-at", "2:0x41"}), "Connected at 57600", true},
        {"download\n", {}, "Download failed: -2", false},
        {firmware + fw + "\ny\n\n", {"--loader-wait", "500"}, "Firmware update succeeded", false},
        {firmware + fw + "\ny\n\n",
         {"--power-delay", "0", "--noise", "8"},
         "did not receive the Pellomatic Firmware prompt",
         false},
        {firmware + fw + "\ny\n\n", {"--sync-delay", "400"}, "did not synchronize", false},
    };
    std::optional<sim_device> sim;
    for (const step& s : steps) {
        SCOPED_TRACE(s.input);
        // A step without options keeps the emulator of the step before, or
        // none when that one had none.
        const std::string link = std::string(PELLO_PORT_DIR) + "/COM" + port;
        if (!s.emulator.empty() && s.emulator[0] == not_a_terminal) {
            sim.reset();
            pello::test::write_file(link, "not a terminal\n");
        } else if (!s.emulator.empty()) {
            sim.reset();
            sim.emplace(com_b, s.emulator);
            ASSERT_TRUE(sim->ready()) << sim->err();
        } else if (s.input.rfind("connect", 0) == 0 || s.input.rfind("firmware", 0) == 0) {
            sim.reset();
        }
        u.send(s.input);
        const std::string printed = u.next_prompt();
        EXPECT_NE(printed.find(s.printed), std::string::npos) << printed;
        const std::vector<std::string> now = descriptors(u.pid());
        EXPECT_EQ(now.size(), at_start.size() + (s.connected ? 1 : 0))
            << "at the first prompt:\n"
            << joined(at_start) << "now:\n"
            << joined(now);
        // While connected the one more is the port, the emulator's terminal.
        std::size_t terminals = 0;
        for (const std::string& d : now)
            terminals += d.find(" -> /dev/pts/") != std::string::npos ? 1 : 0;
        EXPECT_EQ(terminals, s.connected ? 1u : 0u) << joined(now);
    }
    sim.reset();
    u.send("x\n");
    EXPECT_EQ(u.finish(), 0);
    (void)unlink((std::string(PELLO_PORT_DIR) + "/COM" + port).c_str());
}

}  // namespace
}  // namespace pello::faults
