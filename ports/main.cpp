// pellomatic-ports: the COM numbers of pellomatic on Linux. With no
// arguments it shows which device each COM number reaches now and which
// serial devices none reaches; `assign N DEVICE` writes a udev rule that
// links /dev/pellomatic/COM<N> to that adapter (keyed to its serial number),
// `remove N` takes the rule away. pellomatic opens /dev/pellomatic/COM<N>
// before the PC's own /dev/ttyS<N-1>, through the same port templates this
// program is built with.
#include "ports.hpp"
#include "serial/serial.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace pello::ports {

namespace {

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

// A value udev compares as it stands: printable, without the quote that ends
// it, the backslash of an escape or the characters of a pattern.
bool plain_value(const std::string& value)
{
    return !value.empty() && printable(value) == value &&
           value.find_first_of("\"\\*?[]|") == std::string::npos;
}

// What a rule recognises a device by: its kernel name (a serial device that
// is not a USB adapter), or a USB adapter's vendor and product with either
// its serial number or the USB path (the socket) it is plugged into.
struct rule_key {
    std::string kernel;
    std::string usb_path;
    std::string vendor_id;
    std::string product_id;
    std::string serial;
    bool operator==(const rule_key&) const = default;
};

// The one line of a rule file: the device it matches, then its link.
std::string rule_line(const rule_key& key, int number)
{
    const std::string ids =
        "ATTRS{idVendor}==\"" + key.vendor_id + "\", ATTRS{idProduct}==\"" + key.product_id + "\"";
    std::string match = "SUBSYSTEM==\"tty\", ";
    if (!key.kernel.empty())
        match += "KERNEL==\"" + key.kernel + "\"";
    else if (!key.serial.empty())
        match += ids + ", ATTRS{serial}==\"" + key.serial + "\"";
    else
        match += "KERNELS==\"" + key.usb_path + "\", " + ids;
    return match + ", SYMLINK+=\"pellomatic/" + com_name(number) +
           "\", GROUP=\"dialout\", MODE=\"0660\"";
}

std::string key_text(const rule_key& key)
{
    if (!key.kernel.empty())
        return "kernel name " + key.kernel;
    return key.serial.empty() ? "USB path " + key.usb_path : "serial number " + key.serial;
}

// The keys by which a rule can reach a device: its kernel name, and for a
// USB adapter its USB path and its serial number (when a rule can match it).
std::vector<rule_key> keys_of(const serial_device& device)
{
    std::vector<rule_key> keys = {{device.name, "", "", "", ""}};
    if (device.usb) {
        keys.push_back({"", device.usb_path, device.vendor_id, device.product_id, ""});
        if (plain_value(device.serial))
            keys.push_back({"", "", device.vendor_id, device.product_id, device.serial});
    }
    return keys;
}

bool reaches(const rule_key& key, const serial_device& device)
{
    const std::vector<rule_key> keys = keys_of(device);
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The value of NAME=="value" in a rule line; "" when the line has none.
std::string value_in(const std::string& line, const std::string& name)
{
    const std::string start = name + "==\"";
    std::size_t at = line.find(start);
    if (at == std::string::npos)
        return "";
    at += start.size();
    return line.substr(at, line.find('"', at) - at);
}

// What the rule file of a COM number holds: whether there is one, and its
// key when it is a rule this program writes. Anything else (another line
// shape, more than one rule, a link) reaches devices this program cannot
// tell: it is assigned to something unknown.
struct rule_file {
    std::string path;
    bool present = false;
    std::optional<rule_key> key;
};

rule_file read_rule(const places& where, int number)
{
    rule_file file{rule_path(where, number), false, std::nullopt};
    struct stat info {};
    file.present = lstat(file.path.c_str(), &info) == 0;
    if (!file.present || !S_ISREG(info.st_mode))
        return file;
    std::ifstream in(file.path);
    std::vector<std::string> rules;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            rules.push_back(line);
    if (rules.size() != 1)
        return file;
    const rule_key key{value_in(rules[0], "KERNEL"), value_in(rules[0], "KERNELS"),
                       value_in(rules[0], "ATTRS{idVendor}"),
                       value_in(rules[0], "ATTRS{idProduct}"), value_in(rules[0], "ATTRS{serial}")};
    for (const std::string* value :
         {&key.kernel, &key.usb_path, &key.vendor_id, &key.product_id, &key.serial})
        if (!value->empty() && !plain_value(*value))
            return file;
    if (rules[0] == rule_line(key, number) && rules[0].find("\"\"") == std::string::npos)
        file.key = key;
    return file;
}

std::string unknown_text(const rule_file& file)
{
    return "something unknown (" + file.path + " is not a rule pellomatic-ports writes)";
}

// How a rule recognises the device, and how the operator is told. A serial
// number that another adapter present has as well would match both: the
// rule is then keyed to the USB path.
struct identity {
    rule_key key;
    std::string said;
};

identity identity_of(const serial_device& device, const std::vector<serial_device>& present)
{
    const std::vector<rule_key> keys = keys_of(device);
    if (!device.usb)
        return {keys[0], "keyed to its " + key_text(keys[0])};
    std::string why =
        device.serial.empty() ? "it has no serial number" : "its serial number cannot be matched";
    if (keys.size() == 3) {
        const auto twin =
            std::find_if(present.begin(), present.end(), [&](const serial_device& other) {
                return other.usb_path != device.usb_path && reaches(keys[2], other);
            });
        if (twin == present.end())
            return {keys[2], "keyed to its " + key_text(keys[2])};
        why = "another adapter, " + printable(twin->node) + ", has the same serial number";
    }
    return {keys[1], "keyed to its " + key_text(keys[1]) + " (" + why +
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

// Writes a whole file under a temporary name of its own (created anew, never
// through a link) and renames it into place, so udev never reads half a
// rule. A name that does not end in .rules is one udev does not read.
bool write_rule(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    bool ok = fd >= 0 && fchmod(fd, 0644) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
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
        if (fd >= 0)
            (void)unlink(temporary.c_str());
        refuse("cannot write " + path + ": " + std::strerror(error));
    }
    return ok;
}

// Runs that change the rules take turns: each holds this lock from its first
// look at the rules to its last word, so that it decides with the rules the
// run before it left and reports what stands. The lock file is root's alone,
// so no other user can hold the runs up; a run without root changes nothing.
struct rules_lock {
    int fd = -1;
    rules_lock() = default;
    rules_lock(const rules_lock&) = delete;
    rules_lock& operator=(const rules_lock&) = delete;
    ~rules_lock()
    {
        if (fd >= 0)
            (void)close(fd);
    }
};

bool lock_rules(const places& where, rules_lock& lock)
{
    if (geteuid() != 0)
        return true;
    const std::string path = where.rules_dir + "/.pellomatic-ports.lock";
    lock.fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    int locked = lock.fd < 0 ? -1 : flock(lock.fd, LOCK_EX | LOCK_NB);
    if (locked != 0 && lock.fd >= 0 && errno == EWOULDBLOCK) {
        std::fprintf(stderr, "pellomatic-ports: waiting for another pellomatic-ports to finish\n");
        locked = flock(lock.fd, LOCK_EX);
    }
    if (locked != 0)
        refuse("cannot lock " + path + ": " + std::strerror(errno));
    return locked == 0;
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

// The rule file of each COM number that has one: what it is keyed to and
// which of the devices present it matches (udev links the number to one of
// them), or that it is a file this program cannot read as its own.
void show_rules(const places& where, const std::vector<serial_device>& present)
{
    bool heading = false;
    for (int number = first_com; number <= last_com; ++number) {
        const rule_file rule = read_rule(where, number);
        if (!rule.present)
            continue;
        if (!heading)
            std::printf("\nRules of the COM numbers (%s):\n", where.rules_dir.c_str());
        heading = true;
        std::string matched;
        for (const serial_device& device : present)
            if (rule.key && reaches(*rule.key, device))
                matched += (matched.empty() ? "" : ", ") + printable(device.node);
        const std::string text = !rule.key ? "assigned to " + unknown_text(rule)
                                           : "keyed to " + key_text(*rule.key) + ", matches " +
                                                 (matched.empty() ? "no device present" : matched);
        std::printf("%-6s %s\n", com_name(number).c_str(), text.c_str());
    }
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
    const std::vector<serial_device> present = serial_devices(where);
    std::vector<serial_device> unreached;
    for (const serial_device& device : present) {
        bool reached = false;
        for (const com_line& line : lines)
            reached = reached || line.device.sys == device.sys;
        if (!reached)
            unreached.push_back(device);
    }
    std::printf("\nSerial devices that no COM number reaches:%s\n",
                unreached.empty() ? " none" : "");
    for (const serial_device& device : unreached)
        print_line("-", "", device);
    show_rules(where, present);
    return 0;
}

// --- assign and remove -------------------------------------------------------

// The rules of the other COM numbers that reach an adapter. An adapter has
// one number: the rules that gave it another go (moved). A rule that matches
// it by a key it shares with another adapter stays (sharing).
struct other_rules {
    std::vector<int> moved;
    std::vector<std::pair<int, rule_key>> sharing;
};

other_rules rules_reaching(const places& where, int number, const serial_device& device,
                           const rule_key& key)
{
    other_rules others;
    for (int other = first_com; other <= last_com; ++other) {
        const rule_file rule = read_rule(where, other);
        if (other == number || !rule.key || !reaches(*rule.key, device))
            continue;
        if (*rule.key == key)
            others.moved.push_back(other);
        else
            others.sharing.emplace_back(other, *rule.key);
    }
    return others;
}

int assign(const places& where, int number, const std::string& path, bool replace)
{
    rules_lock lock;
    if (!lock_rules(where, lock))
        return 1;
    std::string why;
    const std::optional<serial_device> device = device_at(where, path, &why);
    if (!device)
        return refuse(path + " is not a serial device: " + why);
    const identity id = identity_of(*device, serial_devices(where));
    const std::string com = com_name(number);
    const rule_file before = read_rule(where, number);

    if (before.present && !before.key && !replace)
        return refuse(com + " is already assigned to " + unknown_text(before) +
                      "; give --replace to give it to " + path);
    if (before.key && *before.key != id.key && !replace)
        return refuse(com + " is already assigned to another adapter (" + before.path +
                      "); give --replace to give it to " + path);
    const other_rules others = rules_reaching(where, number, *device, id.key);
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
         << rule_line(id.key, number) << "\n";
    if (!write_rule(before.path, rule.str()))
        return 1;
    for (int other : others.moved) {
        (void)unlink(rule_path(where, other).c_str());
        std::printf("%s no longer reaches it.\n", com_name(other).c_str());
    }
    for (const auto& [other, key] : others.sharing)
        std::printf("%s matches it too: its rule is keyed to %s (%s).\n", com_name(other).c_str(),
                    key_text(key).c_str(), rule_path(where, other).c_str());
    std::printf("%s is %s, %s (%s).\n", com.c_str(), printable(device->node).c_str(),
                id.said.c_str(), before.path.c_str());
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
    rules_lock lock;
    if (!lock_rules(where, lock))
        return 1;
    const std::string com = com_name(number);
    const std::string file = rule_path(where, number);
    if (!read_rule(where, number).present)
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
