// SPDX-License-Identifier: GPL-2.0-or-later
/* hubsurvey -- list the touch controllers and peripherals behind display hubs */
#include <displayhub.h>

#include <usb.h>

#include <cstdint>
#include <cstdio>

// Prints one line for every touch controller and hub peripheral attached to
// `hub`, labelled with `hub_number`. Returns -1 when the hub has no children.
static int printtovikdevices(struct usb_device *hub, int hub_number)
{
    const auto children = displayhub::hub_children(*hub);
    if (children.empty())
        return -1;

    char serial[256];
    for (struct usb_device *child : children) {
        if (child == nullptr)
            continue; // a port whose device the library has no record of
        const std::uint16_t vendor = child->descriptor.idVendor;
        const std::uint16_t product = child->descriptor.idProduct;
        const std::uint16_t release = child->descriptor.bcdDevice;
        const std::uint8_t serial_index = child->descriptor.iSerialNumber;

        displayhub::UsbHandle handle{usb_open(child)};
        displayhub::read_serial_text(handle.get(), serial_index, serial);
        handle.reset();

        if (vendor == 0x04b3) {
            if (product == 0x4676 || product == 0x4677)
                std::printf("H%d DXA %04x:%04x %04x %s\n", hub_number, 0x04b3, product, release, serial);
            else if (product == 0x4678 || product == 0x4679)
                std::printf("H%d DXB %04x:%04x %04x %s\n", hub_number, 0x04b3, product, release, serial);
        } else if (vendor == 0x04e7) {
            if (product == 0x0009 || product == 0x0030)
                std::printf("H%d TXC %04x:%04x %04x %s\n", hub_number, 0x04e7, product, release, serial);
        }
    }
    return 0;
}

int main()
{
    // Closed descriptors, a reader that goes away or a killed run lose no line and stop nothing.
    displayhub::guard_standard_streams();

    // The library's own results are not examined: a failed start or scan
    // leaves lists without display hubs, and the tool then prints nothing.
    usb_init();
    usb_find_busses();
    usb_find_devices();

    for (struct usb_bus *bus = usb_busses; bus != nullptr; bus = bus->next) {
        int hub_number = 0;
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (dev->descriptor.idVendor == 0x04b3 && dev->descriptor.idProduct == 0x4675) {
                printtovikdevices(dev, hub_number);
                ++hub_number;
            }
        }
    }
    return 0;
}
