// SPDX-License-Identifier: GPL-2.0-or-later
// Both tools over the bundled trees: hub numbering, chained hubs, identities
// that are not theirs, hubs without children and real recordings.
#include "harness.h"

#include <gtest/gtest.h>

using e2e::events;
using e2e::lines;
using e2e::resets;
using e2e::run;

TEST(Topology, HubsAreNumberedPerBusInDeviceListOrder)
{
    const auto r = run({{"three-monitors.umockdev"}, {}}, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "H0 TXC 04e7:0030 0331 E583231\n"
                     "H0 DXA 04b3:4677 0431 DXA0011\n"
                     "H1 TXC 04e7:0009 0332 E583232\n"
                     "H1 DXB 04b3:4679 0232 DXB0012\n"
                     "H0 TXC 04e7:0030 0333 E583233\n"
                     "H0 DXB 04b3:4678 0233 DXB0013\n");

    // Reversed directories reverse the bus and device lists, not the ports.
    const auto reversed = run({{"three-monitors.umockdev"}, {"--order", "reversed"}}, "hubsurvey");
    EXPECT_CLEAN_RUN(reversed);
    EXPECT_EQ(reversed.out, "H0 TXC 04e7:0030 0333 E583233\n"
                            "H0 DXB 04b3:4678 0233 DXB0013\n"
                            "H0 TXC 04e7:0009 0332 E583232\n"
                            "H0 DXB 04b3:4679 0232 DXB0012\n"
                            "H1 TXC 04e7:0030 0331 E583231\n"
                            "H1 DXA 04b3:4677 0431 DXA0011\n");
}

TEST(Topology, ResetsHubAfterHubInWalkOrder)
{
    const auto r = run({{"three-monitors.umockdev"}, {}}, "portcycle");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "0 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0331 E583231\n"
                     "reset rc = 0\n"
                     "1 found 04b3:4677\n"
                     "0 found 04e7:0009\n"
                     "Resetting ELO Device 04e7:0009 0332 E583232\n"
                     "reset rc = 0\n"
                     "1 found 04b3:4679\n"
                     "0 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0333 E583233\n"
                     "reset rc = 0\n"
                     "1 found 04b3:4678\n");
    EXPECT_EQ(resets(r), (std::vector<std::string>{"001/003", "001/006", "002/003"}));
}

TEST(Topology, ChainedDisplayHubsGetReportsOfTheirOwn)
{
    const e2e::Setup chained{{"chained.umockdev"}, {}};
    const auto survey = run(chained, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    // The inner hub has no line in the outer hub's report.
    EXPECT_EQ(survey.out, "H0 TXC 04e7:0030 0341 E583241\n"
                          "H0 DXA 04b3:4676 0441 DXA0021\n"
                          "H1 TXC 04e7:0009 0342 E583242\n"
                          "H1 DXB 04b3:4679 0242 DXB0022\n");
    const auto cycle = run(chained, "portcycle");
    EXPECT_CLEAN_RUN(cycle);
    EXPECT_EQ(cycle.out, "0 found 04e7:0030\n"
                         "Resetting ELO Device 04e7:0030 0341 E583241\n"
                         "reset rc = 0\n"
                         "1 found 04b3:4676\n"
                         "2 found 04b3:4675\n"
                         "0 found 04e7:0009\n"
                         "Resetting ELO Device 04e7:0009 0342 E583242\n"
                         "reset rc = 0\n"
                         "1 found 04b3:4679\n");
}

TEST(Topology, ThreeDisplayHubsInAChain)
{
    const e2e::Setup chain{{"triple-chain.umockdev"}, {}};
    const auto survey = run(chain, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, "H0 TXC 04e7:0030 0351 E583251\n"
                          "H1 TXC 04e7:0030 0352 E583252\n"
                          "H2 TXC 04e7:0009 0353 E583253\n");
    const auto cycle = run(chain, "portcycle", {"2000", "E583253"});
    EXPECT_CLEAN_RUN(cycle);
    EXPECT_EQ(cycle.out, "0 found 04e7:0030\n"
                         "1 found 04b3:4675\n"
                         "0 found 04b3:4675\n"
                         "1 found 04e7:0030\n"
                         "0 found 04e7:0009\n"
                         "Resetting ELO Device 04e7:0009 0353 E583253\n"
                         "reset rc = 0\n");
    EXPECT_EQ(resets(cycle), std::vector<std::string>{"001/006"});
}

TEST(Topology, DeviceClassMattersOnlyToPortcycle)
{
    // The display hub's identifiers with device class 0 (a hub interface
    // still carries its ports): hubsurvey reports it, portcycle passes it over.
    const e2e::Setup class0{{"class0-hub-iface.umockdev"}, {}};
    const auto survey = run(class0, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, "H0 TXC 04e7:0030 0371 E583271\n"
                          "H0 DXA 04b3:4677 0471 DXA0051\n");
    const auto cycle = run(class0, "portcycle");
    EXPECT_CLEAN_RUN(cycle);
    EXPECT_EQ(cycle.out, "");
    EXPECT_TRUE(events(cycle, {"usb_open", "pause"}).empty());
}

TEST(Topology, HubsWithoutChildrenPrintNothing)
{
    for (const char *file : {"empty-hub.umockdev", "class0-hub.umockdev"})
        for (const char *tool : {"hubsurvey", "portcycle"}) {
            const auto r = run({{file}, {}}, tool);
            EXPECT_CLEAN_RUN(r);
            EXPECT_EQ(r.out, "") << file << ' ' << tool;
            EXPECT_EQ(lines(events(r, {"usb_open", "pause", "usb_reset"})), "") << file << ' ' << tool;
        }
}

TEST(Topology, OtherIdentitiesGetFoundLinesOnly)
{
    const e2e::Setup others{{"other-vendor-products.umockdev"}, {}};
    const auto cycle = run(others, "portcycle");
    EXPECT_CLEAN_RUN(cycle);
    EXPECT_EQ(cycle.out, "0 found 04e7:0020\n"
                         "1 found 04e7:0008\n"
                         "2 found 04b3:4675\n"
                         "3 found 04b3:467a\n"
                         "4 found 04b3:4674\n"
                         "5 found 04e7:0031\n");
    EXPECT_EQ(lines(events(cycle, {"usb_open", "pause", "usb_reset"})), "");

    // hubsurvey opens and reads them all, and lists none.
    const auto survey = run(others, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, "");
    EXPECT_EQ(events(survey, {"usb_open"}).size(), 6u);
}

TEST(Topology, RealRecordingsHaveNoDisplayHub)
{
    for (const char *file : {"usbkbd.umockdev", "sony-xperia-mini-pro.umockdev"})
        for (const char *tool : {"hubsurvey", "portcycle"}) {
            const auto r = run({{file}, {}}, tool);
            EXPECT_CLEAN_RUN(r);
            EXPECT_EQ(r.out, "") << file << ' ' << tool;
            EXPECT_EQ(lines(events(r, {"usb_open", "pause", "usb_reset"})), "") << file << ' ' << tool;
            // The scan did reach the recorded devices.
            EXPECT_FALSE(events(r, {"ioctl"}).empty()) << file;
        }
}
