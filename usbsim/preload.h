// SPDX-License-Identifier: GPL-2.0-or-later
/* preload -- what the two parts of usbsim's preload library share */
#pragma once

#include <dlfcn.h>

namespace usbsim::preload {

// Returns the next library's `name` (umockdev's, libc's, libusb's), or null.
template <typename Fn>
Fn next_fn(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Returns the trace file descriptor, or -1 when no trace is written.
int trace_fd();

} // namespace usbsim::preload
