// The serial devices of the machine as sysfs describes them: a device node
// reaches its sysfs folder through /sys/dev/char/<major>:<minor>; a serial
// device is a tty with a device of its own behind it (a UART, a USB
// adapter), not a virtual terminal or a pseudo-terminal.
#include "ports.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace pello::ports {

namespace fs = std::filesystem;

namespace {

const char* const no_uart = "a serial port slot with no UART behind it";

// The first line of a sysfs attribute, without its line end; empty when
// there is none.
std::string attribute(const fs::path& dir, const char* name)
{
    std::ifstream in(dir / name);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::string link_name(const fs::path& link)
{
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    return error ? std::string() : target.filename().string();
}

// The device node a tty folder names in its uevent (DEVNAME=ttyUSB0).
std::string node_of(const fs::path& tty)
{
    std::ifstream in(tty / "uevent");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("DEVNAME=", 0) == 0)
            return "/dev/" + line.substr(8);
    return "/dev/" + tty.filename().string();
}

// The serial device of a tty folder of sysfs, when it is one.
std::optional<serial_device> describe(const fs::path& tty, std::string* why)
{
    const auto refuse = [why](const char* text) -> std::optional<serial_device> {
        if (why != nullptr)
            *why = text;
        return std::nullopt;
    };
    std::error_code error;
    if (link_name(tty / "subsystem") != "tty")
        return refuse("not a terminal device");
    if (!fs::exists(tty / "device", error))
        return refuse("a terminal with no serial device behind it");
    // The serial core keeps a slot for each UART the driver allows; a slot
    // where no UART answered has type 0 and reaches nothing.
    if (fs::exists(tty / "type", error) && attribute(tty, "type") == "0")
        return refuse(no_uart);

    serial_device device;
    device.sys = tty.string();
    device.name = tty.filename().string();
    device.node = node_of(tty);
    // The serial core of newer kernels puts its own port and controller
    // devices (bus serial-base) between the tty and the UART's driver.
    fs::path parent = fs::canonical(tty / "device", error);
    while (!error && link_name(parent / "subsystem") == "serial-base")
        parent = parent.parent_path();
    device.driver = link_name(parent / "driver");
    for (fs::path up = tty; up.has_relative_path() && up != up.parent_path();
         up = up.parent_path()) {
        if (fs::exists(up / "idVendor", error)) {
            device.usb = true;
            device.usb_path = up.filename().string();
            device.vendor_id = attribute(up, "idVendor");
            device.product_id = attribute(up, "idProduct");
            device.maker = attribute(up, "manufacturer");
            device.product = attribute(up, "product");
            device.serial = attribute(up, "serial");
            break;
        }
    }
    return device;
}

}  // namespace

std::string printable(const std::string& text)
{
    std::string out = text;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    return out;
}

std::optional<serial_device> device_at(const places& where, const std::string& path,
                                       std::string* why)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (why != nullptr)
            *why = "no such device";
        return std::nullopt;
    }
    if (!S_ISCHR(info.st_mode)) {
        if (why != nullptr)
            *why = "not a character device";
        return std::nullopt;
    }
    const fs::path entry =
        fs::path(where.sysfs) / "dev" / "char" /
        (std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)));
    std::error_code error;
    const fs::path tty = fs::canonical(entry, error);
    if (error) {
        if (why != nullptr)
            *why = "a device the kernel does not describe";
        return std::nullopt;
    }
    return describe(tty, why);
}

namespace {

// The kernel's name of the terminal driver of a device number, from
// /proc/tty/drivers ("pty_slave", "usbserial", ...); empty when none has it.
std::string tty_driver(dev_t number)
{
    std::ifstream in("/proc/tty/drivers");
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string name;
        std::string node;
        unsigned long major_number = 0;
        std::string minors;
        if (!(words >> name >> node >> major_number >> minors) || major_number != major(number))
            continue;
        const unsigned long low = std::strtoul(minors.c_str(), nullptr, 10);
        const std::size_t dash = minors.find('-');
        const unsigned long high =
            dash == std::string::npos ? low : std::strtoul(minors.c_str() + dash + 1, nullptr, 10);
        if (minor(number) >= low && minor(number) <= high)
            return name;
    }
    return "";
}

}  // namespace

std::optional<serial_device> device_reached(const places& where, const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return std::nullopt;
    std::string why;
    if (std::optional<serial_device> device = device_at(where, path, &why))
        return device;
    if (why == no_uart)
        return std::nullopt;
    // A terminal sysfs does not describe, such as the pseudo-terminal of
    // pellomatic-sim.
    serial_device device;
    std::error_code error;
    device.node = fs::canonical(path, error).string();
    device.sys = device.node;
    device.driver = tty_driver(info.st_rdev);
    return device;
}

std::vector<serial_device> serial_devices(const places& where)
{
    std::vector<serial_device> out;
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(where.sysfs) / "class" / "tty", error)) {
        const fs::path tty = fs::canonical(entry.path(), error);
        if (error)
            continue;
        if (std::optional<serial_device> device = describe(tty, nullptr))
            out.push_back(std::move(*device));
    }
    std::sort(out.begin(), out.end(),
              [](const serial_device& a, const serial_device& b) { return a.node < b.node; });
    return out;
}

std::string adapter_text(const serial_device& device)
{
    if (!device.usb)
        return "";
    std::string text = printable(device.maker.empty() ? device.vendor_id : device.maker);
    text += ", " + printable(device.product.empty() ? device.product_id : device.product);
    text += device.serial.empty() ? ", no serial number" : ", serial " + printable(device.serial);
    return text;
}

}  // namespace pello::ports
