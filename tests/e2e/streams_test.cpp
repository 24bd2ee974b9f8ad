// SPDX-License-Identifier: GPL-2.0-or-later
// Standard output as operators set it up: a log file of a run that is killed,
// a reader that goes away, a descriptor closed by a supervisor.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

using e2e::events;
using e2e::lines;
using e2e::run;

namespace {

// The trace lines of what a run did to the devices and how long it waited.
std::vector<std::string> deeds(const e2e::Run &r)
{
    return events(r, {"usb_open", "usb_close", "usb_reset", "pause"});
}

// Returns "" when `got` equals `want`, otherwise the first line that differs.
std::string first_difference(const std::vector<std::string> &got, const std::vector<std::string> &want)
{
    for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
        const std::string g = i < got.size() ? got[i] : "(none)";
        const std::string w = i < want.size() ? want[i] : "(none)";
        if (g != w)
            return "line " + std::to_string(i + 1) + ": got '" + g + "', want '" + w + "'";
    }
    return "";
}

} // namespace

TEST(Streams, KilledInTheSettlePauseKeepsEveryLineItPrinted)
{
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        e2e::Setup setup{{"monitor.umockdev"}, {"--real-time"}};
        setup.output = e2e::Output::File;
        setup.signal_at = "pause 5000000";
        setup.signal = sig;
        const auto r = run(setup, "portcycle", {"5000"});
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(r.err, "") << sig;
        EXPECT_EQ(r.out, "0 found 04b3:4678\n"
                         "1 found 046d:c077\n"
                         "2 found 04e7:0030\n"
                         "Resetting ELO Device 04e7:0030 0312 E583210\n"
                         "reset rc = 0\n")
            << sig;
    }
}

TEST(Streams, OutputThatGoesNowhereStopsNoReset)
{
    // full-hub's 125 controllers make portcycle print more than a stdio
    // buffer holds; ports 1..125 hold devices 001/003..001/127.
    std::vector<std::string> expected;
    char node[8];
    for (int port = 1; port <= 125; ++port) {
        std::snprintf(node, sizeof node, "001/%03d", port + 2);
        for (const std::string &deed : {"usb_open " + std::string(node), std::string("pause 100000"),
                                        "usb_reset " + std::string(node) + " = 0", std::string("pause 2000000"),
                                        "usb_close " + std::string(node), std::string("pause 100000")})
            expected.push_back(deed);
    }
    // A reader that closes after the first line, and a descriptor closed at
    // start, which no device node may take.
    for (const auto output : {e2e::Output::FirstLine, e2e::Output::Closed}) {
        const auto r = run({{"full-hub.umockdev"}, {}, output}, "portcycle");
        EXPECT_CLEAN_RUN(r);
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), output == e2e::Output::Closed ? "" : "0 found 04e7:0030\n");
        EXPECT_EQ(first_difference(deeds(r), expected), "");
        EXPECT_EQ(lines(events(r, {"written"})), "");
    }

    const e2e::Setup monitors{{"three-monitors.umockdev"}, {}};
    const auto whole = run(monitors, "hubsurvey");
    const auto r = run({monitors.devices, {}, e2e::Output::FirstLine}, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "H0 TXC 04e7:0030 0331 E583231\n");
    EXPECT_EQ(first_difference(deeds(r), deeds(whole)), "");
    EXPECT_EQ(events(r, {"usb_open"}).size(), 6u);
}
