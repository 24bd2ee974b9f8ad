// SPDX-License-Identifier: GPL-2.0-or-later
/* fuzz_serial_text -- libFuzzer target: cleaning of device-supplied serial
 * text, in a buffer of the input's size and in the tools' 256 bytes */
#include <displayhub.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace {

bool printable(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte <= 0x7e;
}

// Aborts unless `after` is `before` cleaned: the text ends at the first NUL
// of `before` or at the last byte, whichever comes first; printable bytes
// of the text stay, every other one is '?'; the bytes behind the
// terminator are untouched, except the last byte of the buffer, which is
// always NUL (the cleaning writes it before it scans).
void check_cleaned(std::span<const char> before, std::span<const char> after)
{
    if (before.size() != after.size())
        std::abort();
    if (before.empty())
        return;
    const std::size_t length =
        std::min<std::size_t>(std::find(before.begin(), before.end(), '\0') - before.begin(),
                              before.size() - 1);
    if (after[length] != '\0' || std::strlen(after.data()) != length)
        std::abort();
    for (std::size_t i = 0; i < length; ++i) {
        if (!printable(after[i]))
            std::abort();
        if (after[i] != (printable(before[i]) ? before[i] : '?'))
            std::abort();
    }
    if (after.back() != '\0')
        std::abort();
    for (std::size_t i = length + 1; i + 1 < before.size(); ++i)
        if (after[i] != before[i])
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *input = reinterpret_cast<const char *>(data);

    // Exactly the input's size on the heap, so that a write past the end
    // (or any access at all for size 0) is an AddressSanitizer report.
    const auto exact = std::make_unique<char[]>(size);
    std::copy_n(input, size, exact.get());
    displayhub::clean_serial_text(std::span<char>(exact.get(), size));
    check_cleaned(std::span<const char>(input, size), std::span<const char>(exact.get(), size));

    // The tools' zero-filled serial buffer with the input copied in.
    std::array<char, 256> before{};
    std::copy_n(input, std::min(size, before.size()), before.begin());
    std::array<char, 256> after = before;
    displayhub::clean_serial_text(after);
    check_cleaned(before, after);
    return 0;
}
