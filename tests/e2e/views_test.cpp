// SPDX-License-Identifier: GPL-2.0-or-later
// The empty-child-list views: a user who is not root (every ioctl EPERM) and
// a stack that answers no ioctl. The tools then find each display hub's
// children in the kernel's device tree and must print what they print with
// the library's own child lists, less what they cannot read there.
#include "harness.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
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

// Names a test after its description file: "three-monitors.umockdev" -> "threemonitors".
std::string file_param_name(const testing::TestParamInfo<const char *> &info)
{
    std::string name;
    for (const char *c = info.param; *c != '.'; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
    return name;
}

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

INSTANTIATE_TEST_SUITE_P(Bundled, EmptyChildListsOf, testing::ValuesIn(kDescriptions), file_param_name);

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

// The set-up the README recommends, run by a real non-root user: the
// project's udev rule gives the display hub, the controllers and the hub
// peripherals to its group; every other node stays root:root 0664, so libusb
// opens it read-only and the kernel refuses every ioctl on it.
namespace {

// Both tools copied into a scratch directory that every user can reach, as
// an installation puts them into /usr/sbin: the build tree may be private.
struct ToolsForEveryUser {
    std::string dir, portcycle, hubsurvey;
    bool ready = false;
    ToolsForEveryUser()
    {
        char name[] = "/tmp/e2e-tools-XXXXXX";
        if (mkdtemp(name) == nullptr)
            return;
        dir = name;
        portcycle = dir + "/portcycle";
        hubsurvey = dir + "/hubsurvey";
        std::error_code ec;
        std::filesystem::copy_file(PORTCYCLE_PATH, portcycle, ec);
        if (!ec)
            std::filesystem::copy_file(HUBSURVEY_PATH, hubsurvey, ec);
        ready = !ec && chmod(name, 0755) == 0;
    }
    ~ToolsForEveryUser()
    {
        std::error_code ec;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ec);
    }
};

} // namespace

class NonRootUserOn : public testing::TestWithParam<const char *> {};

TEST_P(NonRootUserOn, SeesWhatTheUdevRuleGrants)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tools as another user (usbsim --as)";
    const struct group *group = getgrnam(UDEV_GROUP);
    if (group == nullptr)
        GTEST_SKIP() << "group " << UDEV_GROUP << " of the udev rule does not exist here";
    const std::string gid = std::to_string(group->gr_gid);
    const char *file = GetParam();
    // nobody, in the rule's group or outside it.
    const e2e::Setup member{{file}, {"--udev-rules", UDEV_RULE_FILE, "--as", "65534:65534," + gid}};
    const e2e::Setup outsider{{file}, {"--udev-rules", UDEV_RULE_FILE, "--as", "65534:65534"}};
    const e2e::Setup root{{file}, {}};
    const e2e::Setup eperm{{file}, {"--view", "eperm"}};
    const ToolsForEveryUser tools;
    ASSERT_TRUE(tools.ready) << "cannot copy the tools to a scratch directory";

    const auto root_survey = run(root, "hubsurvey");
    const auto root_cycle = run(root, "portcycle");
    ASSERT_NE(root_survey.out.find(" TXC "), std::string::npos) << file;

    // A member reads every serial and resets every controller. Only the
    // found lines of devices outside the rule are missing (on monitor.umockdev
    // the mouse 046d:c077; three-monitors.umockdev has none): their nodes
    // are read-only, so their device numbers are unknown and their slots null.
    const auto survey = run(member, tools.hubsurvey);
    EXPECT_CLEAN_RUN(survey);
    EXPECT_EQ(survey.out, root_survey.out) << file;
    const auto cycle = run(member, tools.portcycle);
    EXPECT_CLEAN_RUN(cycle);
    static const std::regex uncovered{"[0-9]+ found (?!04b3:467[5-9]|04e7:00(09|30))[0-9a-f:]{9}\n"};
    EXPECT_EQ(cycle.out, std::regex_replace(root_cycle.out, uncovered, "")) << file;
    EXPECT_EQ(resets(cycle), resets(root_cycle)) << file;

    // Outside the group nothing is writable: what the eperm view shows.
    for (const char *tool : {"hubsurvey", "portcycle"}) {
        const auto r = run(outsider, tool == std::string("hubsurvey") ? tools.hubsurvey : tools.portcycle);
        EXPECT_CLEAN_RUN(r);
        const auto expected = run(eperm, tool);
        EXPECT_EQ(r.out, expected.out) << file << " " << tool;
        EXPECT_EQ(resets(r), resets(expected)) << file << " " << tool;
    }

    // The serial of the last controller that hubsurvey lists selects just
    // that one for a member, as for root; without write access no serial
    // can be read, so it selects none.
    const auto txc = root_survey.out.rfind(" TXC ");
    const std::string line = root_survey.out.substr(txc, root_survey.out.find('\n', txc) - txc);
    const std::vector<std::string> filter{"2000", line.substr(line.rfind(' ') + 1)};
    const auto root_filtered = run(root, "portcycle", filter);
    ASSERT_EQ(resets(root_filtered).size(), 1u) << file;
    const auto filtered = run(member, tools.portcycle, filter);
    EXPECT_CLEAN_RUN(filtered);
    EXPECT_EQ(filtered.out, std::regex_replace(root_filtered.out, uncovered, "")) << file;
    EXPECT_EQ(resets(filtered), resets(root_filtered)) << file;
    const auto refused = run(outsider, tools.portcycle, filter);
    EXPECT_CLEAN_RUN(refused);
    EXPECT_TRUE(resets(refused).empty()) << file;
}

INSTANTIATE_TEST_SUITE_P(Bundled, NonRootUserOn, testing::Values("monitor.umockdev", "three-monitors.umockdev"),
                         file_param_name);
