// SPDX-License-Identifier: GPL-2.0-or-later
// pause_test -- pauses of any length add up to exactly the asked time.
#include <displayhub.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

// The library's pauses land here instead of in libc: this definition in the
// test program takes precedence over libc's for the statically linked library.
static std::vector<useconds_t> g_pauses;
extern "C" int usleep(useconds_t us)
{
    g_pauses.push_back(us);
    return 0;
}

namespace {

std::vector<useconds_t> pauses_for(std::uint64_t us)
{
    g_pauses.clear();
    displayhub::pause_us(us);
    return g_pauses;
}

std::uint64_t sum(const std::vector<useconds_t> &pauses)
{
    return std::accumulate(pauses.begin(), pauses.end(), std::uint64_t{0});
}

constexpr std::uint64_t kUsMax = std::numeric_limits<useconds_t>::max();

} // namespace

TEST(Pause, IsOneCallWhileTheCountFits)
{
    EXPECT_EQ(pauses_for(100'000), std::vector<useconds_t>{100'000});
    EXPECT_EQ(pauses_for(2'000'000), std::vector<useconds_t>{2'000'000});
    EXPECT_EQ(pauses_for(4'294'967'000), std::vector<useconds_t>{4'294'967'000u});
    EXPECT_EQ(pauses_for(kUsMax), std::vector<useconds_t>{static_cast<useconds_t>(kUsMax)});
}

TEST(Pause, LongerPausesAddUpExactly)
{
    for (const std::uint64_t us : {kUsMax + 1, std::uint64_t{4'294'968'000}, std::uint64_t{8'589'934'592'000},
                                   std::uint64_t{std::numeric_limits<std::int32_t>::max()} * 1000}) {
        const auto pauses = pauses_for(us);
        EXPECT_GT(pauses.size(), 1u) << us;
        EXPECT_EQ(sum(pauses), us) << us;
    }
}
