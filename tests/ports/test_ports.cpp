// pellomatic-ports against a sysfs of its own making: the rules it writes
// for each kind of adapter, and what it refuses. /dev/null, /dev/zero, ...
// stand in for the device nodes; the made-up sysfs says what each one is.
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pello::test::read_file;
using pello::test::write_file;

// A tty at sysfs path `at` (under sys/devices) for the device numbers
// `number`, with the given attributes of its own ("type") and of its USB
// device (written into usb, when not empty).
void fake_tty(const std::string& sys, const std::string& number, const std::string& at,
              const std::string& usb, const std::vector<std::pair<std::string, std::string>>& attrs)
{
    const fs::path tty = sys + "/devices/" + at;
    fs::create_directories(tty);
    fs::create_directories(sys + "/class/tty");
    fs::create_directories(sys + "/dev/char");
    fs::create_directories(sys + "/bus/usb-serial/drivers/ftdi_sio");
    fs::create_symlink(sys + "/class/tty", tty / "subsystem");
    fs::create_symlink(tty, sys + "/dev/char/" + number);
    if (at.find("virtual") == std::string::npos) {
        fs::create_symlink(tty.parent_path().parent_path(), tty / "device");
        fs::create_symlink(sys + "/bus/usb-serial/drivers/ftdi_sio",
                           tty.parent_path().parent_path() / "driver");
    }
    for (const auto& [name, value] : attrs)
        write_file((name == "type" ? tty : fs::path(sys + "/devices/" + usb)) / name, value + "\n");
}

const std::string ids = R"(SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001")";
const std::string tail = R"(, GROUP="dialout", MODE="0660")";

TEST(Ports, AssignWritesRulesAndRefuses)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "assign and remove need root";
    struct {
        const char* what;
        std::vector<std::string> before;  // commands run first
        std::vector<std::string> args;
        int status;
        std::string said;  // part of what it printed
        std::string com;   // the rule file's COM number, and its line ("" absent)
        std::string rule;
        std::string udevadm;  // what udevadm was asked, after the commands before
    } cases[] = {
        {"serial number",
         {},
         {"assign", "3", "/dev/null"},
         1,
         "COM3 is /dev/ttyUSB0, keyed to its serial number A1B2C3",
         "COM3",
         ids + R"(, ATTRS{serial}=="A1B2C3", SYMLINK+="pellomatic/COM3")" + tail,
         "control --reload\ntrigger --action=add --settle @/devices/usb1/1-1/1-1:1.0/ttyUSB0/tty/"
         "ttyUSB0\n"},
        {"no serial number",
         {},
         {"assign", "4", "/dev/zero"},
         1,
         "keyed to its USB path 1-2 (it has no serial number)",
         "COM4",
         R"(SUBSYSTEM=="tty", KERNELS=="1-2", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", )"
         R"(SYMLINK+="pellomatic/COM4")" +
             tail,
         "control --reload\n"},
        {"serial number with pattern characters",
         {},
         {"assign", "20", "/dev/full"},
         1,
         "keyed to its USB path 1-3 (its serial number cannot be matched)",
         "COM20",
         R"(SUBSYSTEM=="tty", KERNELS=="1-3", )",
         "control --reload\n"},
        {"number of another adapter",
         {"assign 3 /dev/zero"},
         {"assign", "3", "/dev/null"},
         1,
         "COM3 is already assigned to another adapter",
         "COM3",
         R"(KERNELS=="1-2")",
         ""},
        {"replaced",
         {"assign 3 /dev/zero"},
         {"assign", "3", "/dev/null", "--replace"},
         1,
         "COM3 is /dev/ttyUSB0",
         "COM3",
         R"(ATTRS{serial}=="A1B2C3", SYMLINK+="pellomatic/COM3")",
         "control --reload\n"},
        {"adapter moved to another number",
         {"assign 3 /dev/null"},
         {"assign", "6", "/dev/null"},
         1,
         "COM3 no longer reaches it.",
         "COM3",
         "",
         "control --reload\n"},
        {"same adapter again",
         {"assign 3 /dev/null"},
         {"assign", "3", "/dev/null"},
         1,
         "COM3 is /dev/ttyUSB0",
         "COM3",
         R"(ATTRS{serial}=="A1B2C3")",
         "control --reload\n"},
        {"number 21",
         {},
         {"assign", "21", "/dev/null"},
         1,
         "COM number 21 is not one of 1 to 20",
         "COM21",
         "",
         ""},
        {"number 03",
         {},
         {"assign", "03", "/dev/null"},
         1,
         "COM number 03 is not one of 1 to 20",
         "COM3",
         "",
         ""},
        {"regular file",
         {},
         {"assign", "3", "@/dev/char"},
         1,
         "is not a serial device: not a character device",
         "COM3",
         "",
         ""},
        {"no such device",
         {},
         {"assign", "3", "/dev/no-such-tty"},
         1,
         "/dev/no-such-tty is not a serial device: no such device",
         "COM3",
         "",
         ""},
        {"UART slot without a UART",
         {},
         {"assign", "3", "/dev/urandom"},
         1,
         "not a serial device: a serial port slot with no UART behind it",
         "COM3",
         "",
         ""},
        {"virtual terminal",
         {},
         {"assign", "3", "/dev/random"},
         1,
         "not a serial device: a terminal with no serial device behind it",
         "COM3",
         "",
         ""},
        {"removed",
         {"assign 3 /dev/null"},
         {"remove", "3"},
         0,
         "COM3 is no longer assigned",
         "COM3",
         "",
         "control --reload\n"},
        {"remove what is not assigned",
         {},
         {"remove", "3"},
         1,
         "COM3 is not assigned",
         "COM3",
         "",
         ""},
        {"udev not running",
         {"udevadm false"},
         {"assign", "3", "/dev/null"},
         1,
         "udevadm control --reload failed: is udev running?",
         "COM3",
         "ATTRS{serial}",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = pello::test::temp_dir("ports");
        const std::string sys = dir + "/sys";
        fake_tty(sys, "1:3", "usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "usb1/1-1",
                 {{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A1B2C3"}});
        fake_tty(sys, "1:5", "usb1/1-2/1-2:1.0/ttyUSB1/tty/ttyUSB1", "usb1/1-2",
                 {{"idVendor", "0403"}, {"idProduct", "6001"}});
        fake_tty(sys, "1:7", "usb1/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2", "usb1/1-3",
                 {{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A1*"}});
        fake_tty(sys, "1:9", "platform/serial8250/tty/ttyS5", "", {{"type", "0"}});
        fake_tty(sys, "1:8", "virtual/tty/tty9", "", {});
        fs::create_directories(dir + "/rules");
        const std::string log = dir + "/udevadm.log";
        write_file(dir + "/udevadm", "#!/bin/sh\necho \"$*\" >>" + log + "\n");
        fs::permissions(dir + "/udevadm", fs::perms::owner_all);
        setenv("PELLOMATIC_PORTS_SYSFS", sys.c_str(), 1);
        setenv("PELLOMATIC_PORTS_RULES_DIR", (dir + "/rules").c_str(), 1);
        setenv("PELLOMATIC_PORTS_UDEVADM", (dir + "/udevadm").c_str(), 1);

        for (const std::string& command : c.before) {
            if (command == "udevadm false") {
                setenv("PELLOMATIC_PORTS_UDEVADM", "false", 1);
                continue;
            }
            std::vector<std::string> argv = {pello::test::bin_path("pellomatic-ports")};
            for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + 1)
                argv.push_back(command.substr(at, (end = command.find(' ', at)) - at));
            pello::test::run_program(argv, "");
        }
        fs::remove(log);
        std::vector<std::string> argv = {pello::test::bin_path("pellomatic-ports")};
        for (const std::string& arg : c.args)
            argv.push_back(arg[0] == '@' ? sys + arg.substr(1) : arg);
        const pello::test::run_result r = pello::test::run_program(argv, "");
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
        const std::string rule = read_file(dir + "/rules/99-pellomatic-" + c.com + ".rules");
        if (c.rule.empty())
            EXPECT_EQ(rule, "");
        else
            EXPECT_NE(rule.find(c.rule), std::string::npos) << rule;
        std::string expected = c.udevadm;
        for (std::size_t at; (at = expected.find('@')) != std::string::npos;)
            expected.replace(at, 1, sys);
        if (c.udevadm.find('@') != std::string::npos || c.udevadm.empty())
            EXPECT_EQ(read_file(log), expected);
        else
            EXPECT_EQ(read_file(log).rfind(expected, 0), 0u) << read_file(log);
    }
}

}  // namespace
