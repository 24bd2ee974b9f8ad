// SPDX-License-Identifier: GPL-2.0-or-later
/* snapshot -- the final device model, written by usbsim and read by the preload in every process */
#pragma once

#include "emulator.h"
#include "model.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace usbsim {

// What the command's processes answer from: the view and the devices with
// their faults, as usbsim left them after its options.
struct Snapshot {
    View view = View::Full;
    std::vector<Device> devices;
};

// Returns `snapshot` as text: a header line, then one line per device that
// has a node (the others answer no ioctl).
std::string write_snapshot(const Snapshot &snapshot);

// Returns the snapshot held by `text`, or nothing when it is not one.
std::optional<Snapshot> read_snapshot(std::string_view text);

} // namespace usbsim
