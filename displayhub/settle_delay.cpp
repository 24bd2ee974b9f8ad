// SPDX-License-Identifier: GPL-2.0-or-later
/* settle_delay -- the settle delay from portcycle's command line */
#include "displayhub.h"

#include <cstdlib>
#include <limits>

namespace displayhub {

std::int32_t parse_settle_delay(const char *arg)
{
    if (arg == nullptr)
        return kDefaultSettleDelayMs;

    // strtol reports nothing on a malformed text (0) and clamps to the
    // range of long; clamp once more to the 32 bits the delay is kept in.
    const long value = std::strtol(arg, nullptr, 10);
    constexpr long kMax = std::numeric_limits<std::int32_t>::max();
    constexpr long kMin = std::numeric_limits<std::int32_t>::min();
    const auto delay = static_cast<std::int32_t>(value > kMax ? kMax : value < kMin ? kMin : value);
    return delay < kDefaultSettleDelayMs ? kDefaultSettleDelayMs : delay;
}

} // namespace displayhub
