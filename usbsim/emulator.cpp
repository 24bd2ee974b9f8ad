// SPDX-License-Identifier: GPL-2.0-or-later
/* emulator -- answers the usbfs ioctls of the emulated device nodes, as the kernel would */
#include "emulator.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
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
// What the kernel's usbfs offers on an xHCI bus (scatter-gather, no stop on
// short packets, so no bulk continuation).
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                        USBDEVFS_CAP_MMAP | USBDEVFS_CAP_DROP_PRIVILEGES |
                                        USBDEVFS_CAP_CONNINFO_EX | USBDEVFS_CAP_SUSPEND;

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

// The setup stage of a control request, from either usbfs structure.
struct Setup {
    std::uint8_t request_type, request;
    std::uint16_t value, index, length;
};

// Returns the setup of USBDEVFS_CONTROL's argument.
Setup setup_of(const usbdevfs_ctrltransfer &transfer)
{
    return {transfer.bRequestType, transfer.bRequest, transfer.wValue, transfer.wIndex, transfer.wLength};
}

// Returns the setup packet at the start of a control URB's buffer (8 bytes,
// little-endian fields).
Setup setup_of(const std::uint8_t *packet)
{
    const auto word = [packet](int at) { return static_cast<std::uint16_t>(packet[at] | (packet[at + 1] << 8)); };
    return {packet[0], packet[1], word(2), word(4), word(6)};
}

// True for a standard GET_DESCRIPTOR request (device to host).
bool is_get_descriptor(const Setup &setup)
{
    return setup.request == kRequestGetDescriptor && (setup.request_type & kDirectionIn) != 0 &&
           (setup.request_type & kTypeMask) == 0;
}

// What the device does with a control request: the data it sends, or the
// errno of its failure (EPIPE: it stalls; ETIMEDOUT: it never answers).
// It answers the standard GET_DESCRIPTOR requests and stalls every other.
struct Outcome {
    int err;
    Bytes data;
};
Outcome device_answer(const Device &dev, const Setup &setup)
{
    const unsigned type = setup.value >> 8;
    if (!is_get_descriptor(setup))
        return {EPIPE, {}};
    if (type == kDescriptorString && dev.faults.string_errno != 0)
        return {dev.faults.string_errno, {}};
    auto desc = descriptor(dev, type, setup.value & 0xff);
    if (!desc)
        return {EPIPE, {}};
    desc->resize(std::min<std::size_t>(setup.length, desc->size()));
    return {0, std::move(*desc)};
}

// Answers USBDEVFS_CONTROL: the device's answer, at once.
Reply control(const Device &dev, usbdevfs_ctrltransfer *ctrl)
{
    if (ctrl == nullptr)
        return fail(EFAULT);
    usbdevfs_ctrltransfer transfer;
    std::memcpy(&transfer, ctrl, sizeof transfer);
    if (transfer.wLength > kMaxControlLen)
        return fail(EINVAL);
    const Outcome outcome = device_answer(dev, setup_of(transfer));
    if (outcome.err != 0)
        return fail(outcome.err);
    if (outcome.data.empty())
        return {0, 0};
    if (transfer.data == nullptr)
        return fail(EFAULT);
    std::memcpy(transfer.data, outcome.data.data(), outcome.data.size());
    return {static_cast<long>(outcome.data.size()), 0};
}

// Answers USBDEVFS_SUBMITURB: control URBs on endpoint 0 complete with the
// device's answer at once (a stall as status -EPIPE), or stay pending when
// the device never answers, until the caller discards them. Other URBs
// are not emulated.
Reply submit_urb(const Device &dev, usbdevfs_urb *urb, Urbs &urbs)
{
    if (urb == nullptr)
        return fail(EFAULT);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || (urb->endpoint & 0x7f) != 0)
        return fail(ENOTTY);
    if (urb->buffer_length < 8)
        return fail(EINVAL);
    if (urb->buffer == nullptr)
        return fail(EFAULT);
    const Setup setup = setup_of(static_cast<const std::uint8_t *>(urb->buffer));
    if (setup.length > urb->buffer_length - 8)
        return fail(EINVAL);
    Outcome outcome = device_answer(dev, setup);
    if (outcome.err == ETIMEDOUT)
        urbs.pending.push_back({urb, false, 0, {}});
    else
        urbs.completed.push_back({urb, true, -outcome.err, std::move(outcome.data)});
    return {0, 0};
}

// Answers USBDEVFS_REAPURB and REAPURBNDELAY: hands the first completed URB
// back, its data, status and length written as the kernel writes them.
Reply reap_urb(void **out, Urbs &urbs)
{
    if (out == nullptr)
        return fail(EFAULT);
    if (urbs.completed.empty())
        return fail(EAGAIN);
    const Urb done = std::move(urbs.completed.front());
    urbs.completed.erase(urbs.completed.begin());
    auto *urb = static_cast<usbdevfs_urb *>(done.urb);
    if (!done.data.empty())
        std::memcpy(static_cast<std::uint8_t *>(urb->buffer) + 8, done.data.data(), done.data.size());
    urb->status = done.status;
    urb->actual_length = static_cast<int>(done.data.size());
    urb->error_count = 0;
    *out = urb;
    return {0, 0};
}

// Answers USBDEVFS_DISCARDURB: a pending URB completes as cancelled
// (-ENOENT); one that is not pending is unknown (EINVAL).
Reply discard_urb(void *urb, Urbs &urbs)
{
    const auto found = std::find_if(urbs.pending.begin(), urbs.pending.end(),
                                    [urb](const Urb &pending) { return pending.urb == urb; });
    if (found == urbs.pending.end())
        return fail(EINVAL);
    urbs.completed.push_back({urb, true, -ENOENT, {}});
    urbs.pending.erase(found);
    return {0, 0};
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
std::string describe_control(const Setup &setup)
{
    if (!is_get_descriptor(setup))
        return "CONTROL " + hex(setup.request_type, 2) + " " + hex(setup.request, 2) + " " + hex(setup.value, 4) +
               " " + hex(setup.index, 4);
    static const char *const kTypeNames[] = {nullptr, "DEVICE", "CONFIGURATION", "STRING"};
    const unsigned type = setup.value >> 8;
    return std::string("CONTROL GET_DESCRIPTOR ") +
           (type < std::size(kTypeNames) && kTypeNames[type] != nullptr ? kTypeNames[type] : hex(type, 2)) + " " +
           std::to_string(setup.value & 0xff);
}

// Returns the trace name of a submitted URB: its control request, or its
// type and endpoint.
std::string describe_urb(const usbdevfs_urb *urb)
{
    if (urb == nullptr)
        return "SUBMITURB";
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer != nullptr && urb->buffer_length >= 8)
        return "SUBMITURB " + describe_control(setup_of(static_cast<const std::uint8_t *>(urb->buffer)));
    static const char *const kTypeNames[] = {"ISO", "INTERRUPT", "CONTROL", "BULK"};
    return std::string("SUBMITURB ") + (urb->type < std::size(kTypeNames) ? kTypeNames[urb->type] : hex(urb->type, 2)) +
           " " + hex(urb->endpoint, 2);
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
        return describe_control(setup_of(transfer));
    }
    case USBDEVFS_SUBMITURB: return describe_urb(static_cast<const usbdevfs_urb *>(arg));
    case USBDEVFS_REAPURB: return "REAPURB";
    case USBDEVFS_REAPURBNDELAY: return "REAPURBNDELAY";
    case USBDEVFS_DISCARDURB: return "DISCARDURB";
    case USBDEVFS_GET_CAPABILITIES: return "GET_CAPABILITIES";
    default:
        return hex(static_cast<unsigned>(request), 8);
    }
}

} // namespace

Reply answer(Device &dev, View view, unsigned long request, void *arg, Urbs &urbs)
{
    if (view == View::Eperm)
        return fail(EPERM);
    // Completed URBs can be reaped after the device is gone.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        const Reply reply = reap_urb(static_cast<void **>(arg), urbs);
        return reply.err == EAGAIN && dev.gone ? fail(ENODEV) : reply;
    }
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
    case USBDEVFS_SUBMITURB:
        return submit_urb(dev, static_cast<usbdevfs_urb *>(arg), urbs);
    case USBDEVFS_DISCARDURB:
        return discard_urb(arg, urbs);
    case USBDEVFS_GET_CAPABILITIES: {
        if (arg == nullptr)
            return fail(EFAULT);
        std::memcpy(arg, &kCapabilities, sizeof kCapabilities);
        return {0, 0};
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        return {0, 0};
    default:
        return fail(ENOTTY);
    }
}

short poll_mask(const Device &dev, View view, const Urbs &urbs)
{
    short mask = 0;
    if (view != View::NoIoctl && !urbs.completed.empty())
        mask |= POLLOUT | POLLWRNORM; // a URB to reap
    if (dev.gone)
        mask |= POLLHUP | POLLERR; // disconnected
    return mask;
}

std::string trace_head(const std::string &node, unsigned long request, const void *arg)
{
    return request == USBDEVFS_RESET ? "reset " + node : "ioctl " + node + " " + describe(request, arg);
}

std::string trace_result(std::string head, Reply reply, unsigned long request, const void *arg)
{
    head += " = " + std::to_string(reply.result);
    if (reply.result < 0)
        head += " " + errno_name(reply.err);
    else if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        const auto *urb = *static_cast<const usbdevfs_urb *const *>(arg);
        head += " status " + (urb->status == 0 ? std::string("0") : errno_name(-urb->status)) + " actual_length " +
                std::to_string(urb->actual_length);
    }
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
