// SPDX-License-Identifier: GPL-2.0-or-later
/* emulator -- answers the usbfs ioctls of the emulated device nodes, as the kernel would */
#pragma once

#include "model.h"

#include <string>
#include <vector>

namespace usbsim {

// How the device nodes answer ioctls.
enum class View {
    Full,    // as the kernel answers root
    Eperm,   // every ioctl fails with EPERM, as for a user without write access
    NoIoctl, // not answered by usbsim: umockdev's own answers
};

// What an ioctl returns to its caller: its result, and errno when that is negative.
struct Reply {
    long result;
    int err;
};

// A URB submitted on a descriptor, kept until the caller reaps it.
struct Urb {
    void *urb;        // the caller's struct usbdevfs_urb, also its name
    bool done;        // completed, so it can be reaped
    int status;       // once done: 0 or the negative errno the caller reads
    Bytes data;       // once done: what the device sent, copied at the reap
};

// The URBs of one open descriptor: the pending ones in submission order, the
// completed ones in completion order (the order they are reaped in).
struct Urbs {
    std::vector<Urb> pending, completed;
};

// Answers usbfs ioctl `request` on `dev` with argument `arg` (the caller's
// memory, written as the kernel writes it), for a descriptor whose URBs are
// `urbs`: as for root in the full view, EPERM in the eperm view. Null
// pointers give EFAULT. A reap finding no completed URB gives EAGAIN, for
// REAPURB too (the caller waits).
Reply answer(Device &dev, View view, unsigned long request, void *arg, Urbs &urbs);

// Returns the usbfs poll mask (POLLOUT, POLLHUP...) of a descriptor on `dev`.
short poll_mask(const Device &dev, View view, const Urbs &urbs);

// Returns the start of an ioctl's trace line: "reset NODE", or "ioctl NODE"
// and the ioctl's name with the control request or driver ioctl it carries.
std::string trace_head(const std::string &node, unsigned long request, const void *arg);

// Returns `head` completed with " = RESULT" and, for a failure, the errno
// name; for a reap `arg` holds the URB, whose status and length follow.
std::string trace_result(std::string head, Reply reply, unsigned long request, const void *arg);

// Writes `line` and a newline to `fd` with a single write(2); no-op for -1.
void trace_line(int fd, std::string line);

} // namespace usbsim
