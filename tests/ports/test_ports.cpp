// pellomatic-ports against a sysfs of its own making: the rules it writes and
// what it refuses. /dev/null, /dev/zero, ... stand in for device nodes.
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace pello::test;

// The tty of device number `number` at sys/devices/`at`; USB attributes go
// into its USB device (the folder two above its own device).
void fake_tty(const std::string& sys, const std::string& number, const std::string& at,
              const std::string& serial, const std::string& type = "")
{
    const fs::path tty = sys + "/devices/" + at;
    fs::create_directories(tty);
    fs::create_directories(sys + "/class/tty");
    fs::create_directories(sys + "/dev/char");
    fs::create_symlink(sys + "/class/tty", tty / "subsystem");
    fs::create_symlink(tty, sys + "/dev/char/" + number);
    if (at.find("virtual") != std::string::npos)
        return;
    fs::create_symlink(tty.parent_path().parent_path(), tty / "device");
    const fs::path usb = tty.parent_path().parent_path().parent_path().parent_path();
    if (!type.empty()) {
        write_file(tty / "type", type + "\n");
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
    const std::string ids =
        R"(SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001")";
    struct {
        std::string before;  // an assign run first ("" none)
        std::vector<std::string> args;
        std::string said;  // part of what it printed
        std::string rule;  // part of the rule file of COM3 ("" when there is none)
    } cases[] = {
        {"",
         {"assign", "3", "/dev/null"},
         "COM3 is /dev/ttyUSB0, keyed to its serial number A1",
         ids +
             R"(, ATTRS{serial}=="A1", SYMLINK+="pellomatic/COM3", GROUP="dialout", MODE="0660")"},
        {"",
         {"assign", "3", "/dev/zero"},
         "keyed to its USB path 1-2 (it has no serial number)",
         R"(SUBSYSTEM=="tty", KERNELS=="1-2", ATTRS{idVendor}=="0403")"},
        {"",
         {"assign", "3", "/dev/full"},
         "(its serial number cannot be matched)",
         R"(KERNELS=="1-3")"},
        {"assign 3 /dev/zero",
         {"assign", "3", "/dev/null"},
         "COM3 is already assigned to another adapter",
         R"(KERNELS=="1-2")"},
        {"assign 3 /dev/zero",
         {"assign", "3", "/dev/null", "--replace"},
         "COM3 is /dev/ttyUSB0",
         R"(ATTRS{serial}=="A1")"},
        {"assign 3 /dev/null", {"assign", "6", "/dev/null"}, "COM3 no longer reaches it.", ""},
        {"", {"assign", "21", "/dev/null"}, "COM number 21 is not one of 1 to 20", ""},
        {"", {"assign", "03", "/dev/null"}, "COM number 03 is not one of 1 to 20", ""},
        {"", {"assign", "3", "/tmp"}, "/tmp is not a serial device: not a character device", ""},
        {"", {"assign", "3", "/dev/urandom"}, "a serial port slot with no UART behind it", ""},
        {"", {"assign", "3", "/dev/random"}, "a terminal with no serial device behind it", ""},
        {"assign 3 /dev/null", {"remove", "3"}, "COM3 is no longer assigned", ""},
        {"", {"remove", "3"}, "COM3 is not assigned", ""},
    };
    for (const auto& c : cases) {
        const std::string dir = temp_dir("ports");
        const std::string sys = dir + "/sys";
        fake_tty(sys, "1:3", "usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "A1");
        fake_tty(sys, "1:5", "usb1/1-2/1-2:1.0/ttyUSB1/tty/ttyUSB1", "-");
        fake_tty(sys, "1:7", "usb1/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2", "A1*");
        fake_tty(sys, "1:9", "platform/serial8250/tty/ttyS5", "", "0");
        fake_tty(sys, "1:8", "virtual/tty/tty9", "");
        fs::create_directories(dir + "/rules");
        write_file(dir + "/udevadm", "#!/bin/sh\necho \"$*\" >>" + dir + "/udevadm.log\n");
        fs::permissions(dir + "/udevadm", fs::perms::owner_all);
        setenv("PELLOMATIC_PORTS_SYSFS", sys.c_str(), 1);
        setenv("PELLOMATIC_PORTS_RULES_DIR", (dir + "/rules").c_str(), 1);
        setenv("PELLOMATIC_PORTS_UDEVADM", (dir + "/udevadm").c_str(), 1);
        const std::string ports = bin_path("pellomatic-ports");
        if (!c.before.empty())
            run_program({ports, "assign", c.before.substr(7, 1), c.before.substr(9)}, "");
        fs::remove(dir + "/udevadm.log");
        std::vector<std::string> argv = {ports};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const run_result r = run_program(argv, "");
        SCOPED_TRACE(r.out + r.err);
        // Only remove ends well here: after a rule, no udev makes the link.
        EXPECT_EQ(r.status, c.said == "COM3 is no longer assigned" ? 0 : 1);
        EXPECT_NE((r.out + r.err).find(c.said), std::string::npos);
        const std::string rule = read_file(dir + "/rules/99-pellomatic-COM3.rules");
        EXPECT_TRUE(c.rule.empty() ? rule.empty() : rule.find(c.rule) != std::string::npos) << rule;
        // udev reads the rules and handles the device again, or is not asked.
        const std::string log = read_file(dir + "/udevadm.log");
        const bool written = c.said.find("COM3 is /") == 0 || c.said.find("keyed") == 0 ||
                             c.said.find("(its") == 0 ||
                             c.said.find("no longer") != std::string::npos;
        EXPECT_EQ(log.rfind("control --reload\n", 0) == 0, written) << log;
        if (c.args[0] == "assign" && written) {
            EXPECT_NE(log.find("trigger --action=add --settle " + sys + "/devices/usb1/"),
                      std::string::npos);
        }
    }
    // A rule written while udev does not answer says so.
    setenv("PELLOMATIC_PORTS_UDEVADM", "false", 1);
    const run_result r =
        run_program({bin_path("pellomatic-ports"), "assign", "4", "/dev/null"}, "");
    EXPECT_NE(r.err.find("udevadm control --reload failed: is udev running?"), std::string::npos);
}

}  // namespace
