// SPDX-License-Identifier: GPL-2.0-or-later
// Faults of devices and of the stack, one run each: what the tools print and
// do when strings, resets, opens or the port table go wrong.
#include "harness.h"

#include <gtest/gtest.h>

using e2e::events;
using e2e::lines;
using e2e::resets;
using e2e::run;

namespace {

// The bundled monitor's controller is 001/003 on port 3 (child 2).
e2e::Setup monitor_with(std::vector<std::string> options)
{
    return {{"monitor.umockdev"}, std::move(options)};
}

} // namespace

TEST(Faults, FailedStringReadsGiveEmptySerialText)
{
    for (const char *kind : {"stall", "timeout"}) {
        const auto setup = monitor_with({"--string-fault", std::string("001/003=") + kind});
        const auto survey = run(setup, "hubsurvey");
        EXPECT_CLEAN_RUN(survey);
        EXPECT_EQ(survey.out, "H0 DXB 04b3:4678 0214 DXB0001\n"
                              "H0 TXC 04e7:0030 0312 \n"
                              "H0 DXA 04b3:4676 0413 DXA0001\n") << kind;

        // Without a filter the controller is still reset ...
        const auto all = run(setup, "portcycle");
        EXPECT_CLEAN_RUN(all);
        EXPECT_NE(all.out.find("Resetting ELO Device 04e7:0030 0312 \nreset rc = 0\n"), std::string::npos)
            << kind;
        // ... with a filter only when the filter is the empty text.
        EXPECT_EQ(resets(run(setup, "portcycle", {"2000", ""})), std::vector<std::string>{"001/003"}) << kind;
        EXPECT_TRUE(resets(run(setup, "portcycle", {"2000", "E583210"})).empty()) << kind;
    }
}

TEST(Faults, FailedResetIsPrintedAndWaitedFor)
{
    for (const auto &[errno_name, rc] : {std::pair{"EIO", "-5"}, std::pair{"ENODEV", "-19"}}) {
        const auto r = run(monitor_with({"--reset-fault", std::string("001/003=") + errno_name}), "portcycle");
        EXPECT_CLEAN_RUN(r);
        EXPECT_NE(r.out.find(std::string("Resetting ELO Device 04e7:0030 0312 E583210\nreset rc = ") + rc +
                             "\n3 found 04b3:4676\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(lines(events(r, {"pause", "usb_close"})),
                  "pause 100000\npause 2000000\nusb_close 001/003\npause 100000\n");
    }
}

TEST(Faults, DeviceGoneAfterItsResetIsOnlyClosed)
{
    const auto r = run({{"two-controllers.umockdev"}, {"--gone-after-reset", "001/003"}}, "portcycle");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "0 found 04e7:0009\n"
                     "Resetting ELO Device 04e7:0009 0322 E583220\n"
                     "reset rc = 0\n"
                     "1 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0323 E583221\n"
                     "reset rc = 0\n");
    // Nothing but the close touches the old handle after its reset.
    bool after_reset = false;
    for (const auto &line : r.trace) {
        if (line.starts_with("usb_reset 001/003"))
            after_reset = true;
        else if (line.starts_with("usb_close 001/003"))
            break;
        else if (after_reset) {
            EXPECT_FALSE(line.starts_with("ioctl 001/003")) << line;
        }
    }
    EXPECT_TRUE(after_reset);
}

TEST(Faults, ControllerThatCannotBeOpened)
{
    const auto setup = monitor_with({"--open-fails", "001/003"});
    const auto cycle = run(setup, "portcycle");
    EXPECT_CLEAN_RUN(cycle);
    EXPECT_EQ(cycle.out, "0 found 04b3:4678\n1 found 046d:c077\n2 found 04e7:0030\n3 found 04b3:4676\n");
    EXPECT_EQ(lines(events(cycle, {"usb_open", "pause", "usb_reset"})), "usb_open 001/003 = NULL\n");

    // hubsurvey still lists it, with an empty serial text.
    const auto survey = run(setup, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, "H0 DXB 04b3:4678 0214 DXB0001\n"
                          "H0 TXC 04e7:0030 0312 \n"
                          "H0 DXA 04b3:4676 0413 DXA0001\n");
}

TEST(Faults, NullChildSlotsAreSkippedAndOthersKeepTheirIndex)
{
    // Port 2 names a device number without a node; the DXA's node is gone.
    for (const auto &options : {std::vector<std::string>{"--port-devnum", "001/002:2=9"},
                                std::vector<std::string>{"--drop-node", "001/005"}}) {
        const auto cycle = run(monitor_with(options), "portcycle");
        EXPECT_CLEAN_RUN(cycle);
        EXPECT_EQ(cycle.out, "0 found 04b3:4678\n"
                             "2 found 04e7:0030\n"
                             "Resetting ELO Device 04e7:0030 0312 E583210\n"
                             "reset rc = 0\n"
                             "3 found 04b3:4676\n")
            << options[0];
    }
    const auto survey = run(monitor_with({"--drop-node", "001/004"}), "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, "H0 DXB 04b3:4678 0214 DXB0001\nH0 TXC 04e7:0030 0312 E583210\n");
}

TEST(Faults, SerialTextIsCleanedAndTheFilterMatchesTheCleanedText)
{
    const e2e::Setup odd{{"odd-serials.umockdev"}, {}};
    const auto survey = run(odd, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    // Latin-1 letters, escape sequences, tab, bell, DEL, a euro sign, a newline.
    EXPECT_EQ(survey.out, "H0 TXC 04e7:0030 03a1 Gr??e\n"
                          "H0 TXC 04e7:0009 03a2 E58?[2J3210\n"
                          "H0 TXC 04e7:0030 03a3 E5?8?3? x\\y\n"
                          "H0 TXC 04e7:0009 03a4 E58?1\n"
                          "H0 DXA 04b3:4676 04a1 DX?A1\n");

    // A serial copied from hubsurvey's output selects exactly its controller.
    const std::pair<const char *, const char *> picks[] = {
        {"Gr??e", "001/003"}, {"E58?[2J3210", "001/004"}, {"E5?8?3? x\\y", "001/005"}, {"E58?1", "001/006"}};
    for (const auto &[serial, node] : picks) {
        const auto cycle = run(odd, "portcycle", {"2000", serial});
        EXPECT_CLEAN_RUN(cycle);
        EXPECT_EQ(resets(cycle), std::vector<std::string>{node}) << serial;
        EXPECT_NE(cycle.out.find(std::string(" ") + serial + "\nreset rc = 0\n"), std::string::npos) << serial;
    }
    // The raw text as the device sent it no longer matches.
    EXPECT_TRUE(resets(run(odd, "portcycle", {"2000", "E58\x1b[2J3210"})).empty());
}

TEST(Faults, LongSerialsAsTheLibraryReadsThem)
{
    // libusb 0.1.12 reads a descriptor of 63 characters or more as empty text.
    const std::string digits = "0123456789012345678901234567890123456789012345678901234567";
    const auto r = run({{"long-serials.umockdev"}, {}}, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "H0 TXC 04e7:0030 0391 E62-" + digits + "\n"
                     "H0 TXC 04e7:0009 0392 \n"
                     "H0 TXC 04e7:0030 0393 \n");
}

TEST(Faults, SerialIndexZeroIsStillRead)
{
    const auto r = run({{"no-serial.umockdev"}, {}}, "hubsurvey");
    EXPECT_CLEAN_RUN(r);
    // Index 0 is the language list, which the library turns into "?".
    EXPECT_EQ(r.out, "H0 TXC 04e7:0030 03b1 ?\nH0 TXC 04e7:0009 03b2 E583291\n");
    bool read_index_zero = false;
    for (const auto &line : events(r, {"ioctl 001/003"}))
        read_index_zero |= line.find("GET_DESCRIPTOR STRING 0") != std::string::npos;
    EXPECT_TRUE(read_index_zero);
}
