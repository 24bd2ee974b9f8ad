// SPDX-License-Identifier: GPL-2.0-or-later
// hubsurvey on emulated touch monitors: its lines, and what it does to the devices.
#include "harness.h"

#include <gtest/gtest.h>

using e2e::events;
using e2e::lines;
using e2e::run;

namespace {

const e2e::Setup kMonitor{{"monitor.umockdev"}, {}};

} // namespace

TEST(HubsurveyReport, ListsRecognisedChildrenInPortOrder)
{
    const auto r = run(kMonitor, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    // Port 1 DXB, port 2 a mouse (no line), port 3 the controller, port 4 DXA.
    EXPECT_EQ(r.out, "H0 DXB 04b3:4678 0214 DXB0001\n"
                     "H0 TXC 04e7:0030 0312 E583210\n"
                     "H0 DXA 04b3:4676 0413 DXA0001\n");
    // Every child is opened and closed, the unrecognised one too; the hub is
    // not opened, nothing is reset and nothing waits.
    EXPECT_EQ(lines(events(r, {"usb_open", "usb_close", "usb_reset", "reset", "pause"})),
              "usb_open 001/006\nusb_close 001/006\n"
              "usb_open 001/005\nusb_close 001/005\n"
              "usb_open 001/003\nusb_close 001/003\n"
              "usb_open 001/004\nusb_close 001/004\n");
}

TEST(HubsurveyReport, ClosesEachChildBeforeReadingTheNext)
{
    // The string reads of one child all lie between its open and its close.
    const auto r = run(kMonitor, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    std::string open_node;
    for (const auto &line : events(r, {"usb_open", "usb_close", "ioctl"})) {
        if (line.starts_with("usb_open "))
            open_node = line.substr(9, 7);
        else if (line.starts_with("usb_close "))
            open_node.clear();
        else if (line.find("GET_DESCRIPTOR STRING") != std::string::npos) {
            EXPECT_EQ(line.substr(6, 7), open_node) << line;
        }
    }
}

TEST(HubsurveyReport, ListsBothControllerProducts)
{
    const auto r = run({{"two-controllers.umockdev"}, {}}, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "H0 TXC 04e7:0009 0322 E583220\n"
                     "H0 TXC 04e7:0030 0323 E583221\n");
}
