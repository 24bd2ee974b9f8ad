// SPDX-License-Identifier: GPL-2.0-or-later
// access -- owners and modes of the emulated device nodes, as udev would set them
#pragma once

#include "model.h"

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace usbsim {

// Owner, group and mode of one device node.
struct NodeAccess {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0664; // Debian's default rule for USB devices: root:root 0664
};

// Returns what `rules_file` assigns to the node of every device in `devices`
// that has one, keyed by node ("001/003"), starting from the default above.
// udev itself decides: `udevadm test` runs on each device of the testbed at
// `root`, with `rules_file` as its only rule file, in a private mount
// namespace with scratch /run and /dev. Needs root. On failure returns
// nothing and sets `error`.
std::map<std::string, NodeAccess> udev_node_access(const std::string &root, const std::string &rules_file,
                                                   const std::vector<Device> &devices, std::string &error);

// Gives the testbed's node files their owner, group and mode (the default
// for nodes missing from `access`) and makes the testbed's directories
// readable for every user, as /sys and /dev are. Owners change only when
// this process may change them (root). Returns false and sets `error` when a
// node cannot be changed.
bool apply_node_access(const std::string &root, const std::vector<Device> &devices,
                       const std::map<std::string, NodeAccess> &access, std::string &error);

} // namespace usbsim
