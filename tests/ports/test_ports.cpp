// pellomatic-ports against a sysfs of its own making: the rules it writes and
// what it refuses. /dev/null, /dev/zero, ... stand in for device nodes.
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace pello::test;
constexpr auto npos = std::string::npos;

// The tty of device number `number` at sys/devices/`at`: a virtual terminal,
// a UART slot with no UART (platform), or a USB adapter with a serial number
// ("-": none) in its USB device, two folders above its own device.
void fake_tty(const std::string& sys, const std::string& number, const std::string& at,
              const std::string& serial = "")
{
    const fs::path tty = sys + "/devices/" + at;
    for (const fs::path& folder : {tty, fs::path(sys + "/class/tty"), fs::path(sys + "/dev/char")})
        fs::create_directories(folder);
    fs::create_symlink(sys + "/class/tty", tty / "subsystem");
    fs::create_symlink(tty, sys + "/dev/char/" + number);
    fs::create_symlink(tty, sys + "/class/tty/" + tty.filename().string());
    if (at.find("virtual") != std::string::npos)
        return;
    fs::create_symlink(tty.parent_path().parent_path(), tty / "device");
    const fs::path usb = tty.parent_path().parent_path().parent_path().parent_path();
    if (at.find("platform") != std::string::npos) {
        // An 8250 slot with no UART has type 0; a PL011 (amba) is type 32.
        write_file(tty / "type", at.find("amba") != std::string::npos ? "32\n" : "0\n");
        return;
    }
    write_file(usb / "idVendor", "0403\n");
    write_file(usb / "idProduct", "6001\n");
    if (serial != "-")
        write_file(usb / "serial", serial + "\n");
}

TEST(Ports, AssignWritesRulesAndRefuses)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "assign and remove need root";
    const std::string ids = R"(ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001")";
    struct {
        std::string before;   // a command run first ("" none; "foreign": COM3's file is `foreign`)
        std::string command;  // its arguments, blank-separated
        bool written;         // a rule written or removed, udev asked to apply it
        std::string said;     // part of what it printed
        std::string rule;     // part of the rule file of COM3 ("" when there is none)
        // "plug": after `before`, a second adapter with serial A1 (/dev/kmsg) is plugged in;
        // "lock": the command waits for the lock the test holds, meanwhile COM3 gets `foreign`.
        std::string with = "";
        std::string listed = "";  // part of the table afterwards
    } cases[] = {
        {"", "assign 3 /dev/null", true, "COM3 is /dev/ttyUSB0, keyed to its serial number A1",
         R"(SUBSYSTEM=="tty", )" + ids +
             R"(, ATTRS{serial}=="A1", SYMLINK+="pellomatic/COM3", GROUP="dialout", MODE="0660")"},
        {"", "assign 3 /dev/zero", true, "keyed to its USB path 1-2 (it has no serial number)",
         R"(SUBSYSTEM=="tty", KERNELS=="1-2", )" + ids},
        {"", "assign 3 /dev/full", true, "(its serial number cannot be matched)", "KERNELS"},
        {"assign 3 /dev/zero", "assign 3 /dev/null", false,
         "COM3 is already assigned to another adapter", R"(KERNELS=="1-2")"},
        {"assign 3 /dev/zero", "assign 3 /dev/null --replace", true, "COM3 is /", "A1"},
        {"assign 3 /dev/null", "assign 6 /dev/null", true, "COM3 no longer reaches it.", ""},
        {"", "assign 21 /dev/null", false, "COM number 21 is not one of 1 to 20", ""},
        {"", "assign 03 /dev/null", false, "COM number 03 is not one of 1 to 20", ""},
        {"", "assign 3 /tmp", false, "/tmp is not a serial device: not a character device", ""},
        {"", "assign 3 /dev/urandom", false, "a serial port slot with no UART behind it", ""},
        {"", "assign 3 /dev/kmsg", true, "COM3 is /dev/ttyAMA0, keyed to its kernel name ttyAMA0",
         R"(SUBSYSTEM=="tty", KERNEL=="ttyAMA0", SYMLINK+="pellomatic/COM3")"},
        {"", "assign 3 /dev/random", false, "a terminal with no serial device behind it", ""},
        {"assign 3 /dev/null", "remove 3", true, "COM3 is no longer assigned", ""},
        {"", "remove 3", false, "COM3 is not assigned", ""},
        {"assign 3 /dev/null", "assign 4 /dev/kmsg", true,
         "COM4 is /dev/ttyUSB3, keyed to its USB path 1-4 (another adapter, /dev/ttyUSB0, has the "
         "same serial number)",
         R"(ATTRS{serial}=="A1", SYMLINK+="pellomatic/COM3")", "plug",
         "COM3   keyed to serial number A1, matches /dev/ttyUSB0, /dev/ttyUSB3\n"
         "COM4   keyed to USB path 1-4, matches /dev/ttyUSB3\n"},
        {"foreign", "assign 3 /dev/null", false, "COM3 is already assigned to something unknown (",
         "OTHER", "", "COM3   assigned to something unknown ("},
        {"", "assign 3 /dev/null", false, "COM3 is already assigned to something unknown", "OTHER",
         "lock"},
    };
    const std::string foreign =
        R"(KERNEL=="ttyUSB*", ATTRS{serial}=="OTHER", SYMLINK+="pellomatic/COM3")";
    const auto run = [](const std::string& command) {
        std::vector<std::string> argv = {bin_path("pellomatic-ports")};
        std::istringstream words(command);
        for (std::string word; words >> word;)
            argv.push_back(word);
        return run_program(argv, "");
    };
    for (const auto& c : cases) {
        const std::string dir = temp_dir("ports");
        const std::string sys = dir + "/sys";
        fake_tty(sys, "1:3", "usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "A1");
        fake_tty(sys, "1:5", "usb1/1-2/1-2:1.0/ttyUSB1/tty/ttyUSB1", "-");
        fake_tty(sys, "1:7", "usb1/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2", "A1*");
        fake_tty(sys, "1:9", "platform/serial8250/tty/ttyS5");
        fake_tty(sys, "1:8", "virtual/tty/tty9");
        fake_tty(sys, "1:11", "platform/soc/soc:amba/fe201000.serial/tty/ttyAMA0");
        fs::create_directories(dir + "/rules");
        write_file(dir + "/udevadm", "#!/bin/sh\necho \"$*\" >>" + dir + "/udevadm.log\n");
        fs::permissions(dir + "/udevadm", fs::perms::owner_all);
        setenv("PELLOMATIC_PORTS_SYSFS", sys.c_str(), 1);
        setenv("PELLOMATIC_PORTS_RULES_DIR", (dir + "/rules").c_str(), 1);
        setenv("PELLOMATIC_PORTS_UDEVADM", (dir + "/udevadm").c_str(), 1);
        const std::string rule3 = dir + "/rules/99-pellomatic-COM3.rules";
        if (c.before == "foreign")
            write_file(rule3, foreign);
        else if (!c.before.empty())
            run(c.before);
        if (c.with == "plug") {  // /dev/kmsg now reaches the adapter, not the PL011
            fs::remove(sys + "/dev/char/1:11");
            fake_tty(sys, "1:11", "usb1/1-4/1-4:1.0/ttyUSB3/tty/ttyUSB3", "A1");
        }
        fs::remove(dir + "/udevadm.log");
        run_result r;
        if (c.with == "lock") {
            const int lock = open((dir + "/rules/.pellomatic-ports.lock").c_str(),
                                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_EQ(flock(lock, LOCK_EX), 0);
            std::string command = "exec";  // through the emulator command of a cross build
            for (const std::string& word : program_command({bin_path("pellomatic-ports")}))
                command += " " + word;
            FILE* out = popen((command + " " + c.command + " 2>&1").c_str(), "r");
            char line[512];
            // It says it waits, and has not looked at the rules yet.
            ASSERT_NE(fgets(line, sizeof line, out), nullptr);
            EXPECT_NE(std::string(line).find("waiting for another pellomatic-ports"), npos);
            EXPECT_FALSE(fs::exists(rule3));
            write_file(rule3, foreign);
            close(lock);
            while (fgets(line, sizeof line, out) != nullptr)
                r.out += line;
            r.status = WEXITSTATUS(pclose(out));
        } else {
            r = run(c.command);
        }
        SCOPED_TRACE(r.out + r.err);
        // Only remove ends well here: after a rule, no udev makes the link.
        EXPECT_EQ(r.status, c.written && c.command[0] == 'r' ? 0 : 1);
        EXPECT_NE((r.out + r.err).find(c.said), npos);
        const std::string rule = read_file(dir + "/rules/99-pellomatic-COM3.rules");
        EXPECT_TRUE(c.rule.empty() ? rule.empty() : rule.find(c.rule) != npos) << rule;
        const std::string log = read_file(dir + "/udevadm.log");
        EXPECT_EQ(log.rfind("control --reload\n", 0) == 0, c.written) << log;
        EXPECT_EQ(log.find("trigger --action=add --settle " + sys + "/devices/") != npos,
                  c.written && c.command[0] == 'a');
        const std::string table = c.listed.empty() ? "" : run("").out;
        EXPECT_NE(table.find(c.listed), npos) << table;
    }
    // A rule written while udev does not answer is not a success.
    setenv("PELLOMATIC_PORTS_UDEVADM", "false", 1);
    const run_result r = run("assign 4 /dev/null");
    EXPECT_NE(r.err.find("udevadm control --reload failed: is udev running?"), npos);
}

}  // namespace
