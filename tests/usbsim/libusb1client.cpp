// SPDX-License-Identifier: GPL-2.0-or-later
/* libusb1client -- a tiny libusb-1.0 program that reads strings under usbsim through URBs */
// Commands, run in order:
//   string NODE INDEX   libusb_get_string_descriptor_ascii's result and text
//                       (the device opened by libusb, read-write)
//   rdonly NODE INDEX   the same on the node opened read-only and handed to
//                       libusb_wrap_sys_device (prints its error if it fails)
#include <libusb.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct HandleClose {
    void operator()(libusb_device_handle *handle) const noexcept { libusb_close(handle); }
};
using Handle = std::unique_ptr<libusb_device_handle, HandleClose>;

// Returns the device at "BUS/DEV" opened by libusb, or null.
Handle open_node(libusb_context *ctx, const std::string &node)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    Handle handle;
    for (ssize_t i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03u/%03u", libusb_get_bus_number(list[i]),
                      libusb_get_device_address(list[i]));
        libusb_device_handle *opened = nullptr;
        if (node == name && libusb_open(list[i], &opened) == 0)
            handle.reset(opened);
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    return handle;
}

// Prints "WHAT NODE INDEX = RC TEXT" for a string read on `handle`.
void print_string(const char *what, const std::string &node, int index, libusb_device_handle *handle)
{
    unsigned char text[256] = {};
    const int rc = libusb_get_string_descriptor_ascii(handle, static_cast<std::uint8_t>(index), text, sizeof text - 1);
    std::printf("%s %s %d = %d %s\n", what, node.c_str(), index, rc, rc > 0 ? reinterpret_cast<char *>(text) : "");
}

} // namespace

int main(int argc, char **argv)
{
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        std::fprintf(stderr, "libusb1client: libusb_init failed\n");
        return 2;
    }
    for (int i = 1; i + 2 < argc; i += 3) {
        const std::string cmd = argv[i], node = argv[i + 1];
        const int index = std::atoi(argv[i + 2]);
        if (cmd == "string") {
            if (Handle handle = open_node(ctx, node))
                print_string("string", node, index, handle.get());
            else
                std::printf("string %s: no handle\n", node.c_str());
        } else if (cmd == "rdonly") {
            const int fd = open(("/dev/bus/usb/" + node).c_str(), O_RDONLY | O_CLOEXEC);
            libusb_device_handle *wrapped = nullptr;
            const int rc = fd >= 0 ? libusb_wrap_sys_device(ctx, fd, &wrapped) : LIBUSB_ERROR_NOT_FOUND;
            if (rc == 0)
                print_string("rdonly", node, index, Handle(wrapped).get());
            else
                std::printf("rdonly %s: wrap %d\n", node.c_str(), rc);
            if (fd >= 0)
                close(fd);
        } else {
            std::fprintf(stderr, "libusb1client: bad command '%s'\n", argv[i]);
            return 2;
        }
    }
    libusb_exit(ctx);
    return 0;
}
