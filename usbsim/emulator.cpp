// SPDX-License-Identifier: GPL-2.0-or-later
/* emulator -- answers the usbfs ioctls of the emulated device nodes, as the kernel would */
#include "emulator.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
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

// Returns the failure of an ioctl with `err`.
constexpr Reply fail(int err)
{
    return {-1, err};
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
Reply control(const Device &dev, usbdevfs_ctrltransfer *ctrl)
{
    if (ctrl == nullptr)
        return fail(EFAULT);
    usbdevfs_ctrltransfer transfer;
    std::memcpy(&transfer, ctrl, sizeof transfer);
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
    if (transfer.data == nullptr)
        return fail(EFAULT);
    std::memcpy(transfer.data, desc->data(), len);
    return {static_cast<long>(len), 0};
}

// Answers USBDEVFS_IOCTL: the hub driver's port table; other drivers have
// no ioctls.
Reply driver_ioctl(const Device &dev, usbdevfs_ioctl *ioc)
{
    if (ioc == nullptr)
        return fail(EFAULT);
    usbdevfs_ioctl request;
    std::memcpy(&request, ioc, sizeof request);
    const auto code = static_cast<unsigned>(request.ioctl_code);

    const auto interfaces = interface_numbers(dev);
    if (request.ifno < 0 ||
        std::find(interfaces.begin(), interfaces.end(), static_cast<unsigned>(request.ifno)) == interfaces.end())
        return fail(EINVAL);
    if (dev.maxchild == 0)
        return fail(ENOTTY); // no driver with ioctls on the interface
    if (code != USBDEVFS_HUB_PORTINFO)
        return fail(ENOSYS); // the hub driver knows this one ioctl only

    if (request.data == nullptr)
        return fail(EFAULT);
    usbdevfs_hub_portinfo info{};
    const std::size_t nports = std::min<std::size_t>(dev.ports.size(), sizeof info.port);
    info.nports = static_cast<char>(nports);
    for (std::size_t p = 0; p < nports; ++p)
        info.port[p] = static_cast<char>(dev.ports[p]);
    std::memcpy(request.data, &info, sizeof info);
    return {static_cast<long>(nports) + 1, 0};
}

// Returns the trace name of a control request: GET_DESCRIPTOR with the
// descriptor type and index, or its four fields in hex.
std::string describe_control(const usbdevfs_ctrltransfer &transfer)
{
    if (!is_get_descriptor(transfer))
        return "CONTROL " + hex(transfer.bRequestType, 2) + " " + hex(transfer.bRequest, 2) + " " +
               hex(transfer.wValue, 4) + " " + hex(transfer.wIndex, 4);
    static const char *const kTypeNames[] = {nullptr, "DEVICE", "CONFIGURATION", "STRING"};
    const unsigned type = transfer.wValue >> 8;
    return std::string("CONTROL GET_DESCRIPTOR ") +
           (type < std::size(kTypeNames) && kTypeNames[type] != nullptr ? kTypeNames[type] : hex(type, 2)) + " " +
           std::to_string(transfer.wValue & 0xff);
}

// Returns the trace name of an ioctl, with the control request or the
// driver ioctl it carries.
std::string describe(unsigned long request, const void *arg)
{
    switch (request) {
    case USBDEVFS_CONNECTINFO: return "CONNECTINFO";
    case USBDEVFS_CLAIMINTERFACE: return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE: return "RELEASEINTERFACE";
    case USBDEVFS_RESET: return "RESET";
    case USBDEVFS_IOCTL: {
        if (arg == nullptr)
            return "IOCTL";
        usbdevfs_ioctl driver_request;
        std::memcpy(&driver_request, arg, sizeof driver_request);
        const auto code = static_cast<unsigned>(driver_request.ioctl_code);
        return code == USBDEVFS_HUB_PORTINFO ? "HUB_PORTINFO" : "IOCTL " + hex(code, 8);
    }
    case USBDEVFS_CONTROL: {
        if (arg == nullptr)
            return "CONTROL";
        usbdevfs_ctrltransfer transfer;
        std::memcpy(&transfer, arg, sizeof transfer);
        return describe_control(transfer);
    }
    default:
        return hex(static_cast<unsigned>(request), 8);
    }
}

} // namespace

Reply answer(Device &dev, View view, unsigned long request, void *arg)
{
    if (view == View::Eperm)
        return fail(EPERM);
    if (dev.gone)
        return fail(ENODEV);

    switch (request) {
    case USBDEVFS_CONNECTINFO: {
        if (arg == nullptr)
            return fail(EFAULT);
        const usbdevfs_connectinfo info{dev.devnum, static_cast<unsigned char>(dev.slow)};
        std::memcpy(arg, &info, sizeof info);
        return {0, 0};
    }
    case USBDEVFS_IOCTL:
        return driver_ioctl(dev, static_cast<usbdevfs_ioctl *>(arg));
    case USBDEVFS_CONTROL:
        return control(dev, static_cast<usbdevfs_ctrltransfer *>(arg));
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

std::string trace_head(const std::string &node, unsigned long request, const void *arg)
{
    return request == USBDEVFS_RESET ? "reset " + node : "ioctl " + node + " " + describe(request, arg);
}

std::string trace_result(std::string head, Reply reply)
{
    head += " = " + std::to_string(reply.result);
    if (reply.result < 0)
        head += " " + errno_name(reply.err);
    return head;
}

void trace_line(int fd, std::string line)
{
    if (fd < 0)
        return;
    line += '\n';
    [[maybe_unused]] const ssize_t written = write(fd, line.data(), line.size());
}

} // namespace usbsim
