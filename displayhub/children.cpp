/* children -- the devices attached to a display hub */
#include "displayhub.h"

#include <libudev.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace displayhub {

namespace {

// Character devices of USB devices: major 189, one block of 128 minors a bus.
constexpr unsigned kUsbDeviceMajor = 189;
constexpr unsigned kDevicesPerBus = 128;

struct UdevUnref {
    void operator()(udev *u) const noexcept { udev_unref(u); }
    void operator()(udev_device *d) const noexcept { udev_device_unref(d); }
    void operator()(udev_enumerate *e) const noexcept { udev_enumerate_unref(e); }
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

// Returns the device number of a library record: its devnum, or, where the
// library could not learn it (0), the number its device node is named by.
unsigned record_devnum(const struct usb_device &dev)
{
    return dev.devnum != 0 ? dev.devnum : parse_number(dev.filename);
}

// Returns the port a USB device sits on from its kernel name: the number
// after the last '.' ("1-1.4") or, behind a root hub, after the '-' ("1-4").
unsigned port_of(const char *sysname)
{
    const char *dot = std::strrchr(sysname, '.');
    const char *dash = std::strrchr(sysname, '-');
    const char *sep = dot != nullptr ? dot : dash;
    return sep != nullptr ? parse_number(sep + 1) : 0;
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

    UdevPtr<udev_enumerate> enumerate{udev_enumerate_new(context.get())};
    if (!enumerate ||
        udev_enumerate_add_match_subsystem(enumerate.get(), "usb") < 0 ||
        udev_enumerate_add_match_parent(enumerate.get(), hub_device.get()) < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return children;

    const char *hub_path = udev_device_get_syspath(hub_device.get());
    std::vector<std::pair<unsigned, unsigned>> ports; // (port, devnum)
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevPtr<udev_device> dev{
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry))};
        if (!dev)
            continue;
        const char *devtype = udev_device_get_devtype(dev.get());
        if (devtype == nullptr || std::strcmp(devtype, "usb_device") != 0)
            continue;
        // The parent is owned by `dev`; only direct children count.
        udev_device *parent = udev_device_get_parent(dev.get());
        if (parent == nullptr || std::strcmp(udev_device_get_syspath(parent), hub_path) != 0)
            continue;
        ports.emplace_back(port_of(udev_device_get_sysname(dev.get())),
                           parse_number(udev_device_get_sysattr_value(dev.get(), "devnum")));
    }
    std::sort(ports.begin(), ports.end());

    children.reserve(ports.size());
    for (const auto &[port, child_devnum] : ports)
        children.push_back(child_devnum != 0 ? record_on_bus(*hub.bus, child_devnum) : nullptr);
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
