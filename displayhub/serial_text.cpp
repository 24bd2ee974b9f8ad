/* serial_text -- device-supplied text made safe for a terminal */
#include "displayhub.h"

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

} // namespace displayhub
