// pellomatic-ports: the COM numbers of pellomatic on Linux. With no
// arguments it shows which device each COM number reaches now and which
// serial devices none reaches; `assign N DEVICE` writes a udev rule that
// links /dev/pellomatic/COM<N> to that adapter (keyed to its serial number),
// `remove N` takes the rule away. pellomatic opens /dev/pellomatic/COM<N>
// before the PC's own /dev/ttyS<N-1>, through the same port templates this
// program is built with.
#include "ports.hpp"
#include "serial/serial.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pello::ports {

namespace {

namespace fs = std::filesystem;

constexpr int first_com = 1;
constexpr int last_com = 20;

const char* const help_text =
    "Usage: pellomatic-ports\n"
    "       pellomatic-ports assign N DEVICE [--replace]\n"
    "       pellomatic-ports remove N\n"
    "Shows, assigns and removes the COM numbers of pellomatic (COM1 to COM20).\n"
    "\n"
    "  (no arguments)     the COM numbers that reach a device now: the path each\n"
    "                     opens, the device, its driver and, for a USB adapter, its\n"
    "                     maker, product and serial number; then the serial devices\n"
    "                     that no COM number reaches\n"
    "  assign N DEVICE    gives the serial device DEVICE (/dev/ttyUSB0, a\n"
    "                     /dev/serial/by-id name) the number N: a udev rule keyed to\n"
    "                     the adapter's serial number links /dev/pellomatic/COM<N> to\n"
    "                     it, wherever it is plugged in (needs root)\n"
    "  --replace          with assign: N may already belong to another adapter,\n"
    "                     which then loses it\n"
    "  remove N           takes the number N away again (needs root)\n"
    "  -h, --help         shows this text\n";

int usage_error(const char* text)
{
    std::fprintf(stderr, "pellomatic-ports: %s\nTry 'pellomatic-ports --help'.\n", text);
    return 2;
}

int refuse(const std::string& text)
{
    std::fprintf(stderr, "pellomatic-ports: %s\n", text.c_str());
    return 1;
}

// A COM number as the operator types it: 1 to 20, without leading zeros (as
// pellomatic reads COM<n>).
int com_number(const std::string& text)
{
    if (text.empty() || text.size() > 2 || text[0] == '0' ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const int number = std::stoi(text);
    return number >= first_com && number <= last_com ? number : 0;
}

std::string com_name(int number)
{
    return "COM" + std::to_string(number);
}

std::string rule_path(const places& where, int number)
{
    return where.rules_dir + "/99-pellomatic-" + com_name(number) + ".rules";
}

// The part of a rule that says which device it is for: what comes before
// its SYMLINK.
const char* const symlink_key = ", SYMLINK+=\"pellomatic/";

std::string rule_match(const std::string& rule_file)
{
    std::ifstream in(rule_file);
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(symlink_key);
        if (line.rfind("SUBSYSTEM==", 0) == 0 && at != std::string::npos)
            return line.substr(0, at);
    }
    return "";
}

// A value udev compares as it stands: printable, without the quote that ends
// it, the backslash of an escape or the characters of a pattern.
bool plain_value(const std::string& value)
{
    return !value.empty() && printable(value) == value &&
           value.find_first_of("\"\\*?[]|") == std::string::npos;
}

// How a rule recognises the device, and how the operator is told.
struct identity {
    std::string match;
    std::string said;
};

identity identity_of(const serial_device& device)
{
    if (!device.usb)
        return {"SUBSYSTEM==\"tty\", KERNEL==\"" + device.name + "\"",
                "keyed to its kernel name " + device.name};
    const std::string ids = "ATTRS{idVendor}==\"" + device.vendor_id + "\", ATTRS{idProduct}==\"" +
                            device.product_id + "\"";
    if (plain_value(device.serial))
        return {"SUBSYSTEM==\"tty\", " + ids + ", ATTRS{serial}==\"" + device.serial + "\"",
                "keyed to its serial number " + device.serial};
    const std::string why =
        device.serial.empty() ? "it has no serial number" : "its serial number cannot be matched";
    return {"SUBSYSTEM==\"tty\", KERNELS==\"" + device.usb_path + "\", " + ids,
            "keyed to its USB path " + device.usb_path + " (" + why +
                "): the number stays with that USB socket"};
}

// Runs udevadm with the given arguments: its exit status, -1 when it could
// not be run.
int run_udevadm(const places& where, std::vector<std::string> args)
{
    args.insert(args.begin(), where.udevadm);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Makes udev read its rules again and handle the device as if it had just
// been plugged in, waiting until it has: its links then stand as the rules
// say.
bool apply_rules(const places& where, const std::vector<std::string>& devices)
{
    if (run_udevadm(where, {"control", "--reload"}) != 0) {
        refuse("udevadm control --reload failed: is udev running?");
        return false;
    }
    for (const std::string& sys : devices) {
        if (run_udevadm(where, {"trigger", "--action=add", "--settle", sys}) != 0) {
            refuse("udevadm trigger failed for " + sys);
            return false;
        }
    }
    return true;
}

// Writes a whole file under a temporary name and renames it into place, so
// udev never reads half a rule.
bool write_rule(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        (void)unlink(temporary.c_str());
        refuse("cannot write " + path + ": " + std::strerror(error));
    }
    return ok;
}

bool needs_root(const char* what)
{
    if (geteuid() == 0)
        return false;
    refuse(std::string(what) + " writes a udev rule, which needs root: run it with sudo");
    return true;
}

// --- The table -------------------------------------------------------------

struct com_line {
    int number = 0;
    std::string path;
    serial_device device;
};

std::optional<com_line> line_of(const places& where, int number)
{
    const std::string path = port_device_path_in(com_name(number).c_str(), port_template);
    std::optional<serial_device> device = device_reached(where, path);
    if (!device)
        return std::nullopt;
    return com_line{number, path, std::move(*device)};
}

void print_header()
{
    std::printf("%-6s %-24s %-14s %-12s %s\n", "COM", "opens", "device", "driver", "adapter");
}

void print_line(const std::string& com, const std::string& path, const serial_device& device)
{
    char line[512];
    std::snprintf(line, sizeof line, "%-6s %-24s %-14s %-12s %s", com.c_str(),
                  printable(path).c_str(), printable(device.node).c_str(),
                  printable(device.driver).c_str(), adapter_text(device).c_str());
    std::string text = line;
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
}

int show_table(const places& where)
{
    std::vector<com_line> lines;
    for (int number = first_com; number <= last_com; ++number)
        if (std::optional<com_line> line = line_of(where, number))
            lines.push_back(std::move(*line));
    if (lines.empty()) {
        std::printf("No COM number reaches a device now.\n");
    } else {
        print_header();
        for (const com_line& line : lines)
            print_line(com_name(line.number), line.path, line.device);
    }
    std::vector<serial_device> unreached;
    for (serial_device& device : serial_devices(where)) {
        bool reached = false;
        for (const com_line& line : lines)
            reached = reached || line.device.sys == device.sys;
        if (!reached)
            unreached.push_back(std::move(device));
    }
    std::printf("\nSerial devices that no COM number reaches:%s\n",
                unreached.empty() ? " none" : "");
    for (const serial_device& device : unreached)
        print_line("-", "", device);
    return 0;
}

// --- assign and remove -------------------------------------------------------

int assign(const places& where, int number, const std::string& path, bool replace)
{
    std::string why;
    const std::optional<serial_device> device = device_at(where, path, &why);
    if (!device)
        return refuse(path + " is not a serial device: " + why);
    const identity id = identity_of(*device);
    const std::string com = com_name(number);
    const std::string file = rule_path(where, number);

    const std::string before = rule_match(file);
    if (!before.empty() && before != id.match && !replace)
        return refuse(com + " is already assigned to another adapter (" + file +
                      "); give --replace to give it to " + path);
    // An adapter has one number: the rules that gave it another go.
    std::vector<int> moved;
    for (int other = first_com; other <= last_com; ++other)
        if (other != number && rule_match(rule_path(where, other)) == id.match)
            moved.push_back(other);
    if (needs_root("assign"))
        return 1;
    // Udev handles again the adapter that held the number until now, so it
    // loses its link.
    std::vector<std::string> handle = {device->sys};
    if (const std::optional<serial_device> held =
            device_at(where, "/dev/pellomatic/" + com, nullptr);
        held && held->sys != device->sys)
        handle.push_back(held->sys);

    std::ostringstream rule;
    rule << "# " << com << " of pellomatic: " << printable(device->node) << ", "
         << (device->usb ? adapter_text(*device) : printable(device->driver))
         << " (written by pellomatic-ports)\n"
         << id.match << symlink_key << com << "\", GROUP=\"dialout\", MODE=\"0660\"\n";
    if (!write_rule(file, rule.str()))
        return 1;
    for (int other : moved) {
        (void)unlink(rule_path(where, other).c_str());
        std::printf("%s no longer reaches it.\n", com_name(other).c_str());
    }
    std::printf("%s is %s, %s (%s).\n", com.c_str(), printable(device->node).c_str(),
                id.said.c_str(), file.c_str());
    if (!apply_rules(where, handle))
        return 1;

    const std::optional<com_line> line = line_of(where, number);
    if (!line || line->device.sys != device->sys)
        return refuse("the rule is written, but " + com + " does not reach " + path +
                      " yet: no /dev/pellomatic/" + com + " (is udev running?)");
    print_header();
    print_line(com, line->path, line->device);
    return 0;
}

int remove(const places& where, int number)
{
    const std::string com = com_name(number);
    const std::string file = rule_path(where, number);
    std::error_code error;
    if (!fs::exists(file, error))
        return refuse(com + " is not assigned (no " + file + ")");
    if (needs_root("remove"))
        return 1;
    // The device the link reaches now loses it once udev handles it again.
    const std::optional<serial_device> device = device_at(where, "/dev/pellomatic/" + com, nullptr);
    if (unlink(file.c_str()) != 0)
        return refuse("cannot remove " + file + ": " + std::strerror(errno));
    std::printf("%s is no longer assigned (%s removed).\n", com.c_str(), file.c_str());
    std::vector<std::string> handle;
    if (device)
        handle.push_back(device->sys);
    return apply_rules(where, handle) ? 0 : 1;
}

// The places the project's tests use instead of the system's.
places places_of_environment()
{
    places where;
    if (const char* value = std::getenv("PELLOMATIC_PORTS_SYSFS"))
        where.sysfs = value;
    if (const char* value = std::getenv("PELLOMATIC_PORTS_RULES_DIR"))
        where.rules_dir = value;
    if (const char* value = std::getenv("PELLOMATIC_PORTS_UDEVADM"))
        where.udevadm = value;
    return where;
}

int run(const std::vector<std::string>& args)
{
    const places where = places_of_environment();
    if (args.empty())
        return show_table(where);
    if (args[0] == "-h" || args[0] == "--help") {
        std::fputs(help_text, stdout);
        return 0;
    }
    if (args[0] == "assign") {
        const bool replace = args.size() == 4 && args[3] == "--replace";
        if (args.size() != 3 && !replace)
            return usage_error("assign takes a COM number and a device, and --replace");
        const int number = com_number(args[1]);
        if (number == 0)
            return refuse("COM number " + args[1] + " is not one of 1 to 20");
        return assign(where, number, args[2], replace);
    }
    if (args[0] == "remove") {
        if (args.size() != 2)
            return usage_error("remove takes a COM number");
        const int number = com_number(args[1]);
        if (number == 0)
            return refuse("COM number " + args[1] + " is not one of 1 to 20");
        return remove(where, number);
    }
    return usage_error("unknown command");
}

}  // namespace

}  // namespace pello::ports

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return pello::ports::run(args);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pellomatic-ports: %s\n", error.what());
        return 1;
    }
}
