// SPDX-License-Identifier: GPL-2.0-or-later
/* portcycle -- reset the touch controllers behind every display hub */
#include <displayhub.h>

#include <usb.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
constexpr useconds_t kPausePerDeviceUs = 100'000;
} // namespace

// Walks the children of one display hub: prints a found line for each and
// resets every touch controller whose serial text equals `filter` (every
// one when `filter` is null), then waits `settle_delay_ms`.
static void reset_quarn_elo(struct usb_device *hub, std::int32_t settle_delay_ms, const char *filter)
{
    const auto children = displayhub::hub_children(*hub);
    if (children.empty())
        return;

    const auto settle_pause_us = static_cast<std::uint64_t>(settle_delay_ms) * 1000;
    char serial[256];

    for (std::size_t i = 0; i < children.size(); ++i) {
        struct usb_device *child = children[i];
        if (child == nullptr)
            continue; // a port whose device the library has no record of
        const std::uint16_t vendor = child->descriptor.idVendor;
        const std::uint16_t product = child->descriptor.idProduct;
        const std::uint16_t release = child->descriptor.bcdDevice;
        const std::uint8_t serial_index = child->descriptor.iSerialNumber;

        std::printf("%d found %04x:%04x\n", static_cast<int>(i), vendor, product);
        if (!(vendor == 0x04e7 && (product == 0x0009 || product == 0x0030)))
            continue;

        displayhub::UsbHandle handle{usb_open(child)};
        if (!handle)
            continue;
        displayhub::read_serial_text(handle.get(), serial_index, serial);

        if (filter == nullptr || std::strcmp(filter, serial) == 0) {
            usleep(kPausePerDeviceUs);
            std::printf("Resetting ELO Device %04x:%04x %04x %s\n", vendor, product, release, serial);
            std::printf("reset rc = %i\n", usb_reset(handle.get()));
            displayhub::pause_us(settle_pause_us);
        }
        handle.reset();
        usleep(kPausePerDeviceUs);
    }
}

int main(int argc, char **argv)
{
    // Closed descriptors, a reader that goes away or a killed run lose no line and stop nothing.
    displayhub::guard_standard_streams();

    // The library's own results are not examined: a failed start or scan
    // leaves lists without display hubs, and the tool then does nothing.
    usb_init();
    usb_find_busses();
    usb_find_devices();

    const std::int32_t settle_delay_ms = displayhub::parse_settle_delay(argc > 1 ? argv[1] : nullptr);
    const char *filter = argc > 2 ? argv[2] : nullptr;

    for (struct usb_bus *bus = usb_busses; bus != nullptr; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next)
            if (dev->descriptor.idVendor == 0x04b3 && dev->descriptor.idProduct == 0x4675 &&
                dev->descriptor.bDeviceClass == 9)
                reset_quarn_elo(dev, settle_delay_ms, filter);
    return 0;
}
