// SPDX-License-Identifier: GPL-2.0-or-later
/* emulator -- answers the usbfs ioctls of the testbed's USB device nodes */
#pragma once

#include "model.h"

#include <umockdev.h>

#include <memory>
#include <string>
#include <vector>

namespace usbsim {

// How the device nodes answer ioctls.
enum class View {
    Full,    // as the kernel answers root
    Eperm,   // every ioctl fails with EPERM, as for a user without write access
    NoIoctl, // no handler: umockdev's own answers
};

struct GObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// One device node's handler and what it answers from.
struct Binding {
    Device *dev;
    View view;
    int trace_fd; // -1: no trace
    GObjectPtr<UMockdevIoctlBase> handler;
};

// Attaches a handler to every device node in `devices` (which must outlive
// the returned bindings). Returns the bindings, or sets `error`.
std::vector<std::unique_ptr<Binding>> attach_handlers(UMockdevTestbed *testbed, std::vector<Device> &devices,
                                                      View view, int trace_fd, std::string &error);

// Writes `line` and a newline to `fd` with a single write(2); no-op for -1.
void trace_line(int fd, std::string line);

} // namespace usbsim
