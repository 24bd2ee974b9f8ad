// SPDX-License-Identifier: GPL-2.0-or-later
/* serial_text -- device-supplied text made safe for a terminal */
#include "displayhub.h"

#include <algorithm>

namespace displayhub {

void clean_serial_text(std::span<char> buffer)
{
    if (buffer.empty())
        return;
    buffer.back() = '\0';
    for (char &c : buffer) {
        if (c == '\0')
            break;
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e)
            c = '?';
    }
}

void read_serial_text(usb_dev_handle *handle, std::uint8_t index, std::span<char> buffer)
{
    std::fill(buffer.begin(), buffer.end(), '\0');
    // The read's result is not examined on purpose: a failed read writes
    // nothing, which leaves the empty text.
    if (handle != nullptr)
        usb_get_string_simple(handle, index, buffer.data(), buffer.size());
    clean_serial_text(buffer);
}

} // namespace displayhub
