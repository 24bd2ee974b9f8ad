// SPDX-License-Identifier: GPL-2.0-or-later
// portcycle on emulated touch monitors: its lines, its resets and its pauses.
#include "harness.h"

#include <gtest/gtest.h>

using e2e::events;
using e2e::lines;
using e2e::resets;
using e2e::run;

namespace {

const e2e::Setup kMonitor{{"monitor.umockdev"}, {}};
const e2e::Setup kTwoControllers{{"two-controllers.umockdev"}, {}};

// What portcycle prints for the bundled monitor when it resets its controller.
const char *const kMonitorReset = "0 found 04b3:4678\n"
                                  "1 found 046d:c077\n"
                                  "2 found 04e7:0030\n"
                                  "Resetting ELO Device 04e7:0030 0312 E583210\n"
                                  "reset rc = 0\n"
                                  "3 found 04b3:4676\n";

} // namespace

TEST(PortcycleReset, ResetsTheControllerWithDefaultPauses)
{
    const auto r = run(kMonitor, "portcycle");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, kMonitorReset);
    // Only the controller is opened; the reset lies between the 100 ms pause
    // and the settle pause, the close between the settle pause and the last pause.
    EXPECT_EQ(lines(events(r, {"usb_open", "usb_close", "usb_reset", "reset", "pause"})),
              "usb_open 001/003\n"
              "pause 100000\n"
              "reset 001/003 = 0\n"
              "usb_reset 001/003 = 0\n"
              "pause 2000000\n"
              "usb_close 001/003\n"
              "pause 100000\n");
}

TEST(PortcycleReset, SettleDelayFromTheFirstArgument)
{
    const std::pair<const char *, const char *> cases[] = {
        {"2001", "pause 2001000"}, {"2000", "pause 2000000"}, {"1999", "pause 2000000"},
        {"0", "pause 2000000"},    {"-7000", "pause 2000000"}, {"soon", "pause 2000000"},
        {"3500ms", "pause 3500000"}, {"4294967", "pause 4294967000"},
    };
    for (const auto &[arg, settle] : cases) {
        const auto r = run(kMonitor, "portcycle", {arg});
        EXPECT_CLEAN_RUN(r);
        EXPECT_EQ(r.out, kMonitorReset) << arg;
        EXPECT_EQ(lines(events(r, {"pause"})), std::string("pause 100000\n") + settle + "\npause 100000\n")
            << arg;
    }
}

TEST(PortcycleReset, LongSettleDelayIsPausedInFull)
{
    // 4294968 ms no longer fits one 32-bit count of microseconds.
    const auto r = run(kMonitor, "portcycle", {"4294968"});
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, kMonitorReset);
    const auto pauses = events(r, {"pause", "usb_reset", "usb_close"});
    ASSERT_GE(pauses.size(), 5u);
    std::uint64_t settle = 0;
    std::size_t calls = 0;
    bool after_reset = false;
    for (const auto &line : pauses) {
        if (line.starts_with("usb_reset"))
            after_reset = true;
        else if (line.starts_with("usb_close"))
            after_reset = false;
        else if (after_reset) {
            settle += std::stoull(line.substr(6));
            ++calls;
        }
    }
    EXPECT_EQ(settle, 4'294'968'000u);
    EXPECT_GT(calls, 1u);
}

TEST(PortcycleFilter, ResetsOnlyTheControllerWithThatSerial)
{
    const auto r = run(kTwoControllers, "portcycle", {"2000", "E583221"});
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "0 found 04e7:0009\n"
                     "1 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0323 E583221\n"
                     "reset rc = 0\n");
    EXPECT_EQ(resets(r), std::vector<std::string>{"001/004"});
    // The other controller is opened, read, closed and followed by 100 ms.
    EXPECT_EQ(lines(events(r, {"usb_open", "usb_close", "pause"})),
              "usb_open 001/003\nusb_close 001/003\npause 100000\n"
              "usb_open 001/004\npause 100000\npause 2000000\nusb_close 001/004\npause 100000\n");
}

TEST(PortcycleFilter, MatchesOnlyTheWholeTextExactly)
{
    for (const char *filter : {"E58322", "e583221", "E583221 ", " E583221", "", "E5832211"}) {
        const auto r = run(kTwoControllers, "portcycle", {"2000", filter});
        EXPECT_CLEAN_RUN(r);
        EXPECT_EQ(r.out, "0 found 04e7:0009\n1 found 04e7:0030\n") << '"' << filter << '"';
        EXPECT_TRUE(resets(r).empty()) << filter;
        EXPECT_EQ(lines(events(r, {"pause"})), "pause 100000\npause 100000\n") << filter;
    }
}

TEST(PortcycleReset, ResetsEveryControllerWithoutFilter)
{
    const auto r = run(kTwoControllers, "portcycle", {"2500", "E583220", "ignored"});
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(resets(r), std::vector<std::string>{"001/003"});

    const auto all = run(kTwoControllers, "portcycle");
    EXPECT_CLEAN_RUN(all);
    EXPECT_EQ(all.out, "0 found 04e7:0009\n"
                       "Resetting ELO Device 04e7:0009 0322 E583220\n"
                       "reset rc = 0\n"
                       "1 found 04e7:0030\n"
                       "Resetting ELO Device 04e7:0030 0323 E583221\n"
                       "reset rc = 0\n");
    EXPECT_EQ(resets(all), (std::vector<std::string>{"001/003", "001/004"}));
}
