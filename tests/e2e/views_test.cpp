// SPDX-License-Identifier: GPL-2.0-or-later
// The empty-child-list views: a user who is not root (every ioctl EPERM) and
// a stack that answers no ioctl. The tools then find each display hub's
// children in the kernel's device tree and must print what they print with
// the library's own child lists, less what they cannot read there.
#include "harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <regex>

using e2e::events;
using e2e::lines;
using e2e::resets;
using e2e::run;
using e2e::without_serials;

namespace {

const char *const kDescriptions[] = {
    "monitor.umockdev",   "two-controllers.umockdev",  "three-monitors.umockdev", "chained.umockdev",
    "triple-chain.umockdev", "class0-hub.umockdev",    "class0-hub-iface.umockdev", "empty-hub.umockdev",
    "full-hub.umockdev",  "full-hub-31.umockdev",      "long-serials.umockdev",   "odd-serials.umockdev",
    "no-serial.umockdev", "other-vendor-products.umockdev",
};

// The return-code lines of a run, with `rc` put in for every value.
std::string with_reset_rc(const std::string &out, const std::string &rc)
{
    return std::regex_replace(out, std::regex{"reset rc = -?[0-9]+"}, "reset rc = " + rc);
}

} // namespace

class EmptyChildListsOf : public testing::TestWithParam<const char *> {};

TEST_P(EmptyChildListsOf, SameLinesAsWithTheLibrarysLists)
{
    const char *file = GetParam();
    {
        const auto full_survey = run({{file}, {}}, "hubsurvey");
        const auto full_cycle = run({{file}, {}}, "portcycle");
        EXPECT_CLEAN_RUN(full_survey);
        EXPECT_CLEAN_RUN(full_cycle);
        // Where string reads fail, the serial text is empty; where resets are
        // refused, the library's -1 is printed; umockdev answers a reset
        // itself when nothing else does.
        for (const auto &[view, rc] : {std::pair{"eperm", "-1"}, std::pair{"no-ioctl", "0"}}) {
            const auto survey = run({{file}, {"--view", view}}, "hubsurvey");
            EXPECT_CLEAN_RUN(survey);
            EXPECT_EQ(survey.out, without_serials(full_survey.out)) << file << " in view " << view;

            const auto cycle = run({{file}, {"--view", view}}, "portcycle");
            EXPECT_CLEAN_RUN(cycle);
            EXPECT_EQ(cycle.out, with_reset_rc(without_serials(full_cycle.out), rc)) << file << " in view " << view;
            EXPECT_EQ(resets(cycle), resets(full_cycle)) << file << " in view " << view;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Bundled, EmptyChildListsOf, testing::ValuesIn(kDescriptions),
                         [](const testing::TestParamInfo<const char *> &info) {
                             std::string name;
                             for (const char *c = info.param; *c != '.'; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c)))
                                     name += *c;
                             return name;
                         });

TEST(EmptyChildLists, NonRootResetsEveryControllerInPortOrder)
{
    const auto r = run({{"monitor.umockdev"}, {"--view", "eperm"}}, "portcycle");
    EXPECT_CLEAN_RUN(r);
    // Port order (devnums 6, 5, 3, 4), not device-number order.
    EXPECT_EQ(r.out, "0 found 04b3:4678\n"
                     "1 found 046d:c077\n"
                     "2 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0312 \n"
                     "reset rc = -1\n"
                     "3 found 04b3:4676\n");
    EXPECT_EQ(lines(events(r, {"usb_reset", "reset"})), "reset 001/003 = -1 EPERM\nusb_reset 001/003 = -1\n");
}

TEST(EmptyChildLists, AFilledChildArrayIsUsedAsTheLibraryGivesIt)
{
    // The port table names a device number without a node for the controller's
    // port: the library leaves that slot null although the device tree knows
    // the controller. The tools keep the library's array and skip the slot.
    const e2e::Setup setup{{"monitor.umockdev"}, {"--port-devnum", "001/002:3=9"}};
    const auto cycle = run(setup, "portcycle");
    EXPECT_CLEAN_RUN(cycle);
    EXPECT_EQ(cycle.out, "0 found 04b3:4678\n1 found 046d:c077\n3 found 04b3:4676\n");
    EXPECT_TRUE(resets(cycle).empty());
    const auto survey = run(setup, "hubsurvey");
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, "H0 DXB 04b3:4678 0214 DXB0001\nH0 DXA 04b3:4676 0413 DXA0001\n");
}
