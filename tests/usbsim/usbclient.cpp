// SPDX-License-Identifier: GPL-2.0-or-later
/* usbclient -- a tiny libusb-0.1 program that shows what the library sees under usbsim */
// Commands, run in order after one scan:
//   list              every bus/device with its devnum and children's devnums
//   string NODE INDEX usb_get_string_simple's result and text
//   reset NODE        usb_reset's result
//   open NODE         whether usb_open gives a handle
//   sleep US          usleep(US)
//   rdonly NODE       CONNECTINFO on the node opened read-only, as libusb
//                     opens it where it may not write: its result and errno
#include <usb.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Returns "BUS/DEV" of `dev`.
std::string node_of(const struct usb_device *dev)
{
    return std::string(dev->bus->dirname) + "/" + dev->filename;
}

// Returns the scanned device named `node`, or null.
struct usb_device *find_device(const char *node)
{
    for (struct usb_bus *bus = usb_busses; bus != nullptr; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next)
            if (node_of(dev) == node)
                return dev;
    return nullptr;
}

void list()
{
    for (struct usb_bus *bus = usb_busses; bus != nullptr; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next) {
            std::printf("%s devnum %d children %d", node_of(dev).c_str(), dev->devnum, dev->num_children);
            for (int i = 0; i < dev->num_children; ++i) {
                if (dev->children[i] == nullptr)
                    std::printf(" -");
                else
                    std::printf(" %d", dev->children[i]->devnum);
            }
            std::printf("\n");
        }
    }
}

// Opens `node`; prints a line and returns null when it is not there.
usb_dev_handle *open_node(const char *what, const char *node)
{
    struct usb_device *dev = find_device(node);
    usb_dev_handle *handle = dev != nullptr ? usb_open(dev) : nullptr;
    if (handle == nullptr)
        std::printf("%s %s: no handle\n", what, node);
    return handle;
}

} // namespace

int main(int argc, char **argv)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (int i = 1; i < argc; ++i) {
        const std::string cmd = argv[i];
        if (cmd == "list") {
            list();
        } else if (cmd == "string" && i + 2 < argc) {
            const char *node = argv[++i];
            const int index = std::atoi(argv[++i]);
            if (usb_dev_handle *handle = open_node("string", node)) {
                char text[256];
                std::memset(text, 0, sizeof text);
                const int rc = usb_get_string_simple(handle, index, text, sizeof text);
                std::printf("string %s %d = %d %s\n", node, index, rc, text);
                usb_close(handle);
            }
        } else if (cmd == "reset" && i + 1 < argc) {
            const char *node = argv[++i];
            if (usb_dev_handle *handle = open_node("reset", node)) {
                std::printf("reset %s = %d\n", node, usb_reset(handle));
                usb_close(handle);
            }
        } else if (cmd == "open" && i + 1 < argc) {
            const char *node = argv[++i];
            if (usb_dev_handle *handle = open_node("open", node)) {
                std::printf("open %s: handle\n", node);
                usb_close(handle);
            }
        } else if (cmd == "rdonly" && i + 1 < argc) {
            const char *node = argv[++i];
            const int fd = open((std::string("/dev/bus/usb/") + node).c_str(), O_RDONLY);
            usbdevfs_connectinfo info{};
            const int rc = fd >= 0 ? ioctl(fd, USBDEVFS_CONNECTINFO, &info) : -2;
            std::printf("rdonly %s = %d %s\n", node, rc, rc == -1 ? strerrorname_np(errno) : "");
            if (fd >= 0)
                close(fd);
        } else if (cmd == "sleep" && i + 1 < argc) {
            usleep(static_cast<useconds_t>(std::strtoul(argv[++i], nullptr, 10)));
        } else {
            std::fprintf(stderr, "usbclient: bad command '%s'\n", argv[i]);
            return 2;
        }
    }
    return 0;
}
