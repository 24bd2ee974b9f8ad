// SPDX-License-Identifier: GPL-2.0-or-later
/* emulator -- answers the usbfs ioctls of the testbed's USB device nodes */
#include "emulator.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace usbsim {

namespace {

constexpr std::uint8_t kRequestGetDescriptor = 6;
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uint8_t kTypeMask = 0x60; // standard, class, vendor
constexpr std::size_t kMaxControlLen = 4096; // the kernel's limit: one page
constexpr unsigned kDescriptorString = 3;

// What an ioctl returns to its caller.
struct Reply {
    long result;
    int err;
};

// Returns the failure of an ioctl with `err`.
constexpr Reply fail(int err)
{
    return {-1, err};
}

// Owns the argument memory umockdev resolves; changes are written back to
// the client when the ioctl completes.
using Data = GObjectPtr<UMockdevIoctlData>;

// Returns `len` bytes of client memory that the pointer at `offset` of
// `data` names, or null (null pointer, unreadable memory).
Data resolve(UMockdevIoctlData *data, std::size_t offset, std::size_t len)
{
    GError *error = nullptr;
    Data resolved{umockdev_ioctl_data_resolve(data, offset, len, &error)};
    g_clear_error(&error);
    return resolved;
}

// Returns `value` as 0x and `digits` lower-case hex digits.
std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// True for a standard GET_DESCRIPTOR request (device to host).
bool is_get_descriptor(const usbdevfs_ctrltransfer &transfer)
{
    return transfer.bRequest == kRequestGetDescriptor && (transfer.bRequestType & kDirectionIn) != 0 &&
           (transfer.bRequestType & kTypeMask) == 0;
}

// Answers USBDEVFS_CONTROL: the standard GET_DESCRIPTOR requests; a device
// stalls every other request.
Reply control(const Device &dev, UMockdevIoctlData *arg)
{
    Data ctrl = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!ctrl)
        return fail(EFAULT);
    usbdevfs_ctrltransfer transfer;
    std::memcpy(&transfer, ctrl->data, sizeof transfer);
    const unsigned type = transfer.wValue >> 8;
    const unsigned index = transfer.wValue & 0xff;

    if (transfer.wLength > kMaxControlLen)
        return fail(EINVAL);
    if (!is_get_descriptor(transfer))
        return fail(EPIPE);
    if (type == kDescriptorString && dev.faults.string_errno != 0)
        return fail(dev.faults.string_errno);
    const auto desc = descriptor(dev, type, index);
    if (!desc)
        return fail(EPIPE);
    const std::size_t len = std::min<std::size_t>(transfer.wLength, desc->size());
    if (len == 0)
        return {0, 0};
    Data buffer = resolve(ctrl.get(), offsetof(usbdevfs_ctrltransfer, data), transfer.wLength);
    if (!buffer)
        return fail(EFAULT);
    std::memcpy(buffer->data, desc->data(), len);
    return {static_cast<long>(len), 0};
}

// Answers USBDEVFS_IOCTL: the hub driver's port table; other drivers have
// no ioctls.
Reply driver_ioctl(const Device &dev, UMockdevIoctlData *arg)
{
    Data ioc = resolve(arg, 0, sizeof(usbdevfs_ioctl));
    if (!ioc)
        return fail(EFAULT);
    usbdevfs_ioctl request;
    std::memcpy(&request, ioc->data, sizeof request);
    const auto code = static_cast<unsigned>(request.ioctl_code);

    const auto interfaces = interface_numbers(dev);
    if (request.ifno < 0 ||
        std::find(interfaces.begin(), interfaces.end(), static_cast<unsigned>(request.ifno)) == interfaces.end())
        return fail(EINVAL);
    if (dev.maxchild == 0)
        return fail(ENOTTY); // no driver with ioctls on the interface
    if (code != USBDEVFS_HUB_PORTINFO)
        return fail(ENOSYS); // the hub driver knows this one ioctl only

    Data buffer = resolve(ioc.get(), offsetof(usbdevfs_ioctl, data), sizeof(usbdevfs_hub_portinfo));
    if (!buffer)
        return fail(EFAULT);
    usbdevfs_hub_portinfo info{};
    const std::size_t nports = std::min<std::size_t>(dev.ports.size(), sizeof info.port);
    info.nports = static_cast<char>(nports);
    for (std::size_t p = 0; p < nports; ++p)
        info.port[p] = static_cast<char>(dev.ports[p]);
    std::memcpy(buffer->data, &info, sizeof info);
    return {static_cast<long>(nports) + 1, 0};
}

// Returns the trace name of an ioctl, with the control request or the
// driver ioctl it carries.
std::string describe(unsigned long request, UMockdevIoctlData *arg)
{
    switch (request) {
    case USBDEVFS_CONNECTINFO: return "CONNECTINFO";
    case USBDEVFS_CLAIMINTERFACE: return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE: return "RELEASEINTERFACE";
    case USBDEVFS_RESET: return "RESET";
    case USBDEVFS_IOCTL: {
        Data ioc = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        if (!ioc)
            return "IOCTL";
        usbdevfs_ioctl driver_request;
        std::memcpy(&driver_request, ioc->data, sizeof driver_request);
        const auto code = static_cast<unsigned>(driver_request.ioctl_code);
        return code == USBDEVFS_HUB_PORTINFO ? "HUB_PORTINFO" : "IOCTL " + hex(code, 8);
    }
    case USBDEVFS_CONTROL: {
        Data ctrl = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
        if (!ctrl)
            return "CONTROL";
        usbdevfs_ctrltransfer transfer;
        std::memcpy(&transfer, ctrl->data, sizeof transfer);
        if (!is_get_descriptor(transfer))
            return "CONTROL " + hex(transfer.bRequestType, 2) + " " + hex(transfer.bRequest, 2) + " " +
                   hex(transfer.wValue, 4) + " " + hex(transfer.wIndex, 4);
        static const char *const kTypeNames[] = {nullptr, "DEVICE", "CONFIGURATION", "STRING"};
        const unsigned type = transfer.wValue >> 8;
        return std::string("CONTROL GET_DESCRIPTOR ") +
               (type < std::size(kTypeNames) && kTypeNames[type] != nullptr ? kTypeNames[type] : hex(type, 2)) + " " +
               std::to_string(transfer.wValue & 0xff);
    }
    default:
        return hex(static_cast<unsigned>(request), 8);
    }
}

// Answers one ioctl on `binding`'s node.
Reply answer(Binding &binding, unsigned long request, UMockdevIoctlData *arg)
{
    Device &dev = *binding.dev;
    if (binding.view == View::Eperm)
        return fail(EPERM);
    if (dev.gone)
        return fail(ENODEV);

    switch (request) {
    case USBDEVFS_CONNECTINFO: {
        Data info = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
        if (!info)
            return fail(EFAULT);
        const usbdevfs_connectinfo answer{dev.devnum, static_cast<unsigned char>(dev.slow)};
        std::memcpy(info->data, &answer, sizeof answer);
        return {0, 0};
    }
    case USBDEVFS_IOCTL:
        return driver_ioctl(dev, arg);
    case USBDEVFS_CONTROL:
        return control(dev, arg);
    case USBDEVFS_RESET:
        dev.gone = dev.faults.gone_after_reset;
        return dev.faults.reset_errno != 0 ? fail(dev.faults.reset_errno) : Reply{0, 0};
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        return {0, 0};
    default:
        return fail(ENOTTY);
    }
}

// umockdev's handle-ioctl signal: answers, traces and completes the ioctl.
gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data)
{
    auto &binding = *static_cast<Binding *>(user_data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::string line = request == USBDEVFS_RESET ? "reset " + binding.dev->node
                                                 : "ioctl " + binding.dev->node + " " + describe(request, arg);
    const Reply reply = answer(binding, request, arg);
    line += " = " + std::to_string(reply.result);
    if (reply.result < 0)
        line += " " + errno_name(reply.err);
    trace_line(binding.trace_fd, std::move(line));
    umockdev_ioctl_client_complete(client, reply.result, reply.result < 0 ? reply.err : 0);
    return TRUE;
}

} // namespace

std::vector<std::unique_ptr<Binding>> attach_handlers(UMockdevTestbed *testbed, std::vector<Device> &devices,
                                                      View view, int trace_fd, std::string &error)
{
    std::vector<std::unique_ptr<Binding>> bindings;
    if (view == View::NoIoctl)
        return bindings;
    for (Device &dev : devices) {
        if (dev.node.empty())
            continue;
        auto binding = std::make_unique<Binding>(
            Binding{&dev, view, trace_fd, GObjectPtr<UMockdevIoctlBase>{umockdev_ioctl_base_new()}});
        g_signal_connect(binding->handler.get(), "handle-ioctl", G_CALLBACK(on_ioctl), binding.get());
        const std::string path = "/dev/bus/usb/" + dev.node;
        GError *gerror = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, path.c_str(), binding->handler.get(), &gerror)) {
            error = "cannot emulate " + path + ": " + (gerror != nullptr ? gerror->message : "unknown error");
            g_clear_error(&gerror);
            bindings.clear();
            return bindings;
        }
        bindings.push_back(std::move(binding));
    }
    return bindings;
}

void trace_line(int fd, std::string line)
{
    if (fd < 0)
        return;
    line += '\n';
    [[maybe_unused]] const ssize_t written = write(fd, line.data(), line.size());
}

} // namespace usbsim
