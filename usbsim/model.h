// SPDX-License-Identifier: GPL-2.0-or-later
/* model -- the emulated USB devices, as sysfs and their descriptors describe them */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace usbsim {

using Bytes = std::vector<std::uint8_t>;

// Faults a device shows on request (command-line options of usbsim).
struct Faults {
    int string_errno = 0;          // every string descriptor read fails with it
    int reset_errno = 0;           // USBDEVFS_RESET fails with it
    bool gone_after_reset = false; // after a reset every ioctl fails with ENODEV
};

// One USB device of the testbed: a `usb_device` directory in sysfs, with or
// without a device node.
struct Device {
    std::string sysname;   // "1-1.5", "usb1"
    std::string node;      // "001/005"; empty when the device has no node
    unsigned busnum = 0;
    unsigned devnum = 0;
    unsigned maxchild = 0; // ports of a hub (at most 127), 0 for other devices
    bool slow = false;     // low speed (1.5 Mbit/s)
    std::optional<std::string> manufacturer, product, serial;
    Bytes descriptors;     // device descriptor followed by the configurations
    std::vector<unsigned> ports; // devnum on each port (0: empty), maxchild long
    Faults faults;
    bool gone = false;     // set after a reset with faults.gone_after_reset
};

// Returns the devices found under the testbed root `root` (its sys/ and dev/).
std::vector<Device> load_devices(const std::string &root);

// Fills every hub's port table from the sysfs names: `1-1.3` sits on port 3
// of `1-1`, `1-3` on port 3 of root hub `usb1`. A port is decimal digits
// without a leading zero, 1..the hub's ports: `1-1.03` and `1-1.+3` sit on
// no port.
void build_port_tables(std::vector<Device> &devices);

// Returns the wTotalLength of the first configuration descriptor, in a
// device node's content (the device descriptor, then bNumConfigurations
// configurations, each wTotalLength long), that is shorter than the 9 bytes
// of its own header; nothing when every one is at least that long.
std::optional<unsigned> short_configuration(const Bytes &descriptors);

// Returns the interface numbers of the device's first configuration.
std::vector<unsigned> interface_numbers(const Device &dev);

// Returns the descriptor of `type` and `index` as the device would send it
// (its full length), or nothing when the device would stall.
std::optional<Bytes> descriptor(const Device &dev, unsigned type, unsigned index);

// Returns the string descriptor holding `text` (UTF-8) as UTF-16LE, cut to
// the 126 code units a descriptor can hold.
Bytes string_descriptor(std::string_view text);

// Returns the name of an errno value ("EIO"), or its number as text.
std::string errno_name(int err);

// Returns the errno value named by `text` ("EIO" or "5"), or 0 if none.
int parse_errno(std::string_view text);

} // namespace usbsim
