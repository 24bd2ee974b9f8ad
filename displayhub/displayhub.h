// SPDX-License-Identifier: GPL-2.0-or-later
/* displayhub -- what portcycle and hubsurvey share: the child lookup of a
 * display hub, the settle delay, pauses, the cleaning of serial text and
 * the guard of the standard streams */
#pragma once

#include <usb.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace displayhub {

// Closes a libusb-0.1 device handle; the handle owns it from usb_open on.
struct UsbClose {
    void operator()(usb_dev_handle *handle) const noexcept { usb_close(handle); }
};
using UsbHandle = std::unique_ptr<usb_dev_handle, UsbClose>;

// Makes the standard streams safe for a whole run; call it first in main,
// before the USB library opens anything and before any output. Opens
// /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// device node or library file can take its number; ignores SIGPIPE, so that
// a write to a reader that went away fails quietly instead of ending the
// process; makes standard output line-buffered, so that every line leaves
// the process as soon as it is printed.
void guard_standard_streams();

// The settle delay used when none is given, and the least one accepted.
inline constexpr std::int32_t kDefaultSettleDelayMs = 2000;

// Returns the settle delay in milliseconds for the first command-line
// argument (null when there is none): strtol in base 10, saturated to the
// signed 32-bit range, and kDefaultSettleDelayMs for anything below it.
std::int32_t parse_settle_delay(const char *arg);

// Sleeps for `us` microseconds: one usleep call when the count fits
// useconds_t, otherwise several calls that add up to exactly `us`.
void pause_us(std::uint64_t us);

// Makes the serial text in `buffer` safe to print and compare: terminates it
// at the buffer's last byte at the latest and replaces every byte outside
// 0x20..0x7E before the terminator with '?'. The length does not change.
void clean_serial_text(std::span<char> buffer);

// Reads the serial text of an open device into `buffer`: zero-fills it,
// asks the library for string `index` in the whole buffer and cleans what
// came back. A null `handle` or a failed read leaves the empty text.
void read_serial_text(usb_dev_handle *handle, std::uint8_t index, std::span<char> buffer);

// Returns the devices attached to `hub`, indexed by child index. When the
// library filled the hub's child array, that array as it is (a slot may be
// null); otherwise the hub's children in the kernel's device tree, in port
// order, mapped to the library's records of the hub's bus; a child without
// a record is a null slot. Makes no libusb calls and prints nothing; empty
// when neither source knows of any child.
std::vector<struct usb_device *> hub_children(const struct usb_device &hub);

} // namespace displayhub
