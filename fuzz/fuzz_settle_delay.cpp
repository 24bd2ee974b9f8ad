// SPDX-License-Identifier: GPL-2.0-or-later
/* fuzz_settle_delay -- libFuzzer target: the settle delay parse against a
 * reference built from the characters up */
#include <displayhub.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
// Past this magnitude every value lands on the same end of the result
// range (the 32-bit maximum, or the default for negatives), so the digit
// loop may stop growing there.
constexpr std::int64_t kMagnitudeCap = std::int64_t{1} << 40;

// Returns the settle delay for `text` as strtol in base 10 in the C locale
// reads it: leading white space, an optional sign, decimal digits up to the
// first other byte; saturated to the 32-bit range, and at least the default.
std::int32_t reference_settle_delay(const char *text)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kMagnitudeCap)
            magnitude = kMagnitudeCap;
    }
    std::int64_t value = negative ? -magnitude : magnitude;
    if (value > kInt32Max)
        value = kInt32Max;
    if (value < displayhub::kDefaultSettleDelayMs)
        value = displayhub::kDefaultSettleDelayMs;
    return static_cast<std::int32_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The bytes as a command-line argument: a C string, cut at the first
    // NUL like argv would be.
    const std::string arg(reinterpret_cast<const char *>(data), size);
    const std::int32_t delay = displayhub::parse_settle_delay(arg.c_str());
    if (delay < displayhub::kDefaultSettleDelayMs || delay != reference_settle_delay(arg.c_str()))
        std::abort();
    if (displayhub::parse_settle_delay(nullptr) != displayhub::kDefaultSettleDelayMs)
        std::abort();
    return 0;
}
