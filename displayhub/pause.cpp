// SPDX-License-Identifier: GPL-2.0-or-later
/* pause -- blocking pauses of any length through usleep */
#include "displayhub.h"

#include <unistd.h>

#include <limits>

namespace displayhub {

namespace {
// The longest single usleep: a whole number of seconds that fits useconds_t.
constexpr useconds_t kLongestPauseUs =
    std::numeric_limits<useconds_t>::max() / 1'000'000 * 1'000'000;
} // namespace

void pause_us(std::uint64_t us)
{
    // usleep's result is ignored on purpose: a pause cut short by a signal
    // is not retried, like any other pause of these tools.
    if (us <= std::numeric_limits<useconds_t>::max()) {
        usleep(static_cast<useconds_t>(us));
        return;
    }
    while (us > kLongestPauseUs) {
        usleep(kLongestPauseUs);
        us -= kLongestPauseUs;
    }
    usleep(static_cast<useconds_t>(us));
}

} // namespace displayhub
