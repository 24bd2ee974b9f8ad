// SPDX-License-Identifier: GPL-2.0-or-later
// settle_delay_test -- the settle delay from the first command-line argument.
#include <displayhub.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using displayhub::parse_settle_delay;

namespace {
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
}

TEST(SettleDelay, DefaultsWithoutArgument)
{
    EXPECT_EQ(parse_settle_delay(nullptr), 2000);
}

TEST(SettleDelay, FallsBackToDefaultBelowMinimum)
{
    for (const char *arg : {"1999", "0", "-1", "-2001", "word", "", " ", "1999abc", "0x1000", "--3000"})
        EXPECT_EQ(parse_settle_delay(arg), 2000) << '"' << arg << '"';
}

TEST(SettleDelay, TakesValuesFromMinimumOn)
{
    EXPECT_EQ(parse_settle_delay("2000"), 2000);
    EXPECT_EQ(parse_settle_delay("2001"), 2001);
    EXPECT_EQ(parse_settle_delay("4294967"), 4294967);
    EXPECT_EQ(parse_settle_delay("4294968"), 4294968);
}

TEST(SettleDelay, ReadsLikeStrtolInBaseTen)
{
    EXPECT_EQ(parse_settle_delay("2500ms"), 2500);
    EXPECT_EQ(parse_settle_delay("  \t3000"), 3000);
    EXPECT_EQ(parse_settle_delay("+4000"), 4000);
    EXPECT_EQ(parse_settle_delay("0003000"), 3000); // not octal
    EXPECT_EQ(parse_settle_delay("3000 5000"), 3000);
}

TEST(SettleDelay, SaturatesToThirtyTwoBits)
{
    EXPECT_EQ(parse_settle_delay("2147483647"), kMax);
    EXPECT_EQ(parse_settle_delay("2147483648"), kMax);
    EXPECT_EQ(parse_settle_delay("99999999999"), kMax);
    EXPECT_EQ(parse_settle_delay("99999999999999999999999999"), kMax);
    // Beyond the range on the negative side saturates to the smallest value,
    // which is below the minimum.
    EXPECT_EQ(parse_settle_delay("-2147483649"), 2000);
    EXPECT_EQ(parse_settle_delay("-99999999999999999999999999"), 2000);
    // 4294969296 would wrap to 2000 + 2^32 - 2^32 if truncated instead.
    EXPECT_EQ(parse_settle_delay("4294969296"), kMax);
}
