// SPDX-License-Identifier: GPL-2.0-or-later
/* children -- the devices attached to a display hub */
#include "displayhub.h"

#include <libudev.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace displayhub {

namespace {

// Character devices of USB devices: major 189, one block of 128 minors a bus.
constexpr unsigned kUsbDeviceMajor = 189;
constexpr unsigned kDevicesPerBus = 128;
// The most ports a hub's port table can hold.
constexpr unsigned kMaxPorts = 127;

struct UdevUnref {
    void operator()(udev *u) const noexcept { udev_unref(u); }
    void operator()(udev_device *d) const noexcept { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevUnref>;

// Returns the decimal number that `text` consists of, or 0 for anything else.
unsigned parse_number(const char *text)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return 0;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' && value <= 0xffff ? static_cast<unsigned>(value) : 0;
}

// Returns the number of ports that a hub's sysfs `maxchild` text gives: its
// decimal number, which may be followed by white space, clamped to the
// kMaxPorts entries of a port table (numbers too large for unsigned long
// included); 0 for a text that does not start with a digit or goes on with
// anything but white space.
unsigned parse_port_count(const char *text)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return 0;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10); // ULONG_MAX when too large
    while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    return *end == '\0' ? static_cast<unsigned>(std::min<unsigned long>(value, kMaxPorts)) : 0;
}

// Returns the device number of a library record: its devnum, or, where the
// library could not learn it (0), the number its device node is named by.
unsigned record_devnum(const struct usb_device &dev)
{
    return dev.devnum != 0 ? dev.devnum : parse_number(dev.filename);
}

struct usb_device *record_on_bus(const usb_bus &bus, unsigned devnum)
{
    for (struct usb_device *dev = bus.devices; dev != nullptr; dev = dev->next)
        if (record_devnum(*dev) == devnum)
            return dev;
    return nullptr;
}

std::vector<struct usb_device *> children_from_device_tree(const struct usb_device &hub)
{
    std::vector<struct usb_device *> children;
    if (hub.bus == nullptr)
        return children;
    const unsigned busnum = parse_number(hub.bus->dirname);
    const unsigned devnum = record_devnum(hub);
    if (busnum == 0 || devnum == 0 || devnum > kDevicesPerBus)
        return children;

    UdevPtr<udev> context{udev_new()};
    if (!context)
        return children;
    const dev_t node = makedev(kUsbDeviceMajor, (busnum - 1) * kDevicesPerBus + (devnum - 1));
    UdevPtr<udev_device> hub_device{udev_device_new_from_devnum(context.get(), 'c', node)};
    if (!hub_device)
        return children;

    // A device on port p of hub "1-1" is "1-1.p"; behind root hub "usbN" it is "N-p".
    const char *hub_name = udev_device_get_sysname(hub_device.get());
    if (hub_name == nullptr)
        return children;
    const std::string prefix = std::strncmp(hub_name, "usb", 3) == 0 ? std::to_string(busnum) + "-"
                                                                      : std::string(hub_name) + ".";
    const unsigned ports = parse_port_count(udev_device_get_sysattr_value(hub_device.get(), "maxchild"));
    for (unsigned port = 1; port <= ports; ++port) {
        UdevPtr<udev_device> child{udev_device_new_from_subsystem_sysname(
            context.get(), "usb", (prefix + std::to_string(port)).c_str())};
        if (!child)
            continue; // an empty port
        const unsigned child_devnum = parse_number(udev_device_get_sysattr_value(child.get(), "devnum"));
        children.push_back(child_devnum != 0 ? record_on_bus(*hub.bus, child_devnum) : nullptr);
    }
    return children;
}

} // namespace

std::vector<struct usb_device *> hub_children(const struct usb_device &hub)
{
    if (hub.num_children > 0 && hub.children != nullptr)
        return {hub.children, hub.children + hub.num_children};
    return children_from_device_tree(hub);
}

} // namespace displayhub
