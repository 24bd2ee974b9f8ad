// SPDX-License-Identifier: GPL-2.0-or-later
/* emulator -- answers the usbfs ioctls of the emulated device nodes, as the kernel would */
#pragma once

#include "model.h"

#include <string>

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

// Answers usbfs ioctl `request` on `dev` with argument `arg` (the caller's
// memory, written as the kernel writes it): as for root in the full view,
// EPERM in the eperm view. Null pointers give EFAULT.
Reply answer(Device &dev, View view, unsigned long request, void *arg);

// Returns the start of an ioctl's trace line: "reset NODE", or "ioctl NODE"
// and the ioctl's name with the control request or driver ioctl it carries.
std::string trace_head(const std::string &node, unsigned long request, const void *arg);

// Returns `head` completed with " = RESULT" and, for a failure, the errno name.
std::string trace_result(std::string head, Reply reply);

// Writes `line` and a newline to `fd` with a single write(2); no-op for -1.
void trace_line(int fd, std::string line);

} // namespace usbsim
