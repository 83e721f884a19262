// pellomatic-ports: which device each COM number of pellomatic reaches, and
// the udev links that give a serial adapter a COM number of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pello::ports {

// Where the helper looks and what it runs. The defaults are the system's;
// the project's tests point them into a folder of their own.
struct places {
    std::string sysfs = "/sys";
    std::string rules_dir = "/etc/udev/rules.d";
    std::string udevadm = "udevadm";
};

// A serial device the kernel has, as sysfs describes it.
struct serial_device {
    std::string name;      // the kernel's name: ttyUSB0
    std::string node;      // its device node: /dev/ttyUSB0
    std::string sys;       // its folder in sysfs
    std::string driver;    // ftdi_sio, serial8250, ...
    bool usb = false;      // the rest is the USB device's own
    std::string usb_path;  // the kernel's name of the USB device (its socket): 1-1.2
    std::string vendor_id;
    std::string product_id;
    std::string maker;
    std::string product;
    std::string serial;  // empty when it has none
};

// The serial device that a path (a device node or a link to one) reaches;
// nothing, with why in *why, when it reaches none.
std::optional<serial_device> device_at(const places& where, const std::string& path,
                                       std::string* why);
// The device a COM number's path reaches, for the table: a serial device as
// device_at finds it, or another character device as far as the kernel
// names it (the pseudo-terminal of pellomatic-sim); nothing when the path
// leads nowhere or to a UART slot with no UART.
std::optional<serial_device> device_reached(const places& where, const std::string& path);
// Every serial device present now (a UART slot with no UART is not), by name.
std::vector<serial_device> serial_devices(const places& where);
// Maker, product and serial number of a USB adapter, as one text.
std::string adapter_text(const serial_device& device);
// A text of sysfs or of a rule as it can be shown or written: bytes that
// are not printable become '?', so no line break gets into a rule file.
std::string printable(const std::string& text);

}  // namespace pello::ports
