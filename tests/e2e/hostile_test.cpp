// SPDX-License-Identifier: GPL-2.0-or-later
// Large, full and inconsistent trees: nothing may crash, every line must be
// one of the tools' own, each controller reset exactly once.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <unistd.h>

using e2e::events;
using e2e::lines;
using e2e::resets;
using e2e::run;

namespace {

// A generated tree in a temporary file, removed again with the object.
struct GeneratedTree {
    std::string path;
    explicit GeneratedTree(const std::string &arguments)
    {
        char name[] = "/tmp/e2e-tree-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        path = name;
        const std::string command = std::string(TESTS_DIR) + "/devices/gen-tree " + arguments + " > " + path;
        if (std::system(command.c_str()) != 0)
            path.clear();
    }
    ~GeneratedTree() { std::remove(path.c_str()); }
};

// A bundled description with one attribute of one device set to another
// text, in a temporary file removed again with the object; path is empty
// when the file has no such attribute.
struct DerivedDescription {
    std::string path;
    DerivedDescription(const std::string &file, const std::string &sysname, const std::string &attribute,
                       const std::string &value)
    {
        std::ifstream in(e2e::device_file(file));
        std::string text;
        bool in_device = false, changed = false;
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("P: "))
                in_device = line.ends_with("/" + sysname);
            else if (in_device && line.starts_with("A: " + attribute + "=")) {
                line = "A: " + attribute + "=" + value;
                changed = true;
            }
            text += line + '\n';
        }
        char name[] = "/tmp/e2e-derived-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            return;
        close(fd);
        std::ofstream(name) << text;
        if (changed)
            path = name;
        else
            std::remove(name);
    }
    ~DerivedDescription()
    {
        if (!path.empty())
            std::remove(path.c_str());
    }
};

// The device nodes of all touch controllers that a description holds.
std::vector<std::string> controllers_of(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> nodes;
    std::string node, vendor, product;
    const auto take = [&] {
        if (!node.empty() && vendor == "04e7" && (product == "0009" || product == "0030"))
            nodes.push_back(node);
        node.clear();
        vendor.clear();
        product.clear();
    };
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("P: "))
            take();
        else if (line.starts_with("N: bus/usb/"))
            node = line.substr(11, 7);
        else if (line.starts_with("A: idVendor="))
            vendor = line.substr(12, 4);
        else if (line.starts_with("A: idProduct="))
            product = line.substr(13, 4);
    }
    take();
    return nodes;
}

// Checks that each TXC line's serial text names the bus and device number
// its release number encodes (the generator's convention), so that no child
// is reported with another child's identity.
void expect_consistent_identities(const std::string &out)
{
    static const std::regex txc{"H[0-9]+ TXC 04e7:00(09|30) ([0-9a-f]{2})([0-9a-f]{2}) E6([0-9]{2})([0-9]{3})"};
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, txc))
            continue;
        EXPECT_EQ(std::stoi(m[2], nullptr, 16), std::stoi(m[4])) << line;
        EXPECT_EQ(std::stoi(m[3], nullptr, 16), std::stoi(m[5])) << line;
    }
}

std::size_t count(const std::string &out, const std::string &what)
{
    std::size_t n = 0;
    for (auto pos = out.find(what); pos != std::string::npos; pos = out.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace

TEST(Hostile, FullPortTables)
{
    // 127 ports with 125 of them used (a bus has 127 device numbers), and the
    // 31 fully used ports that a real hub driver accepts at most.
    struct Table {
        const char *file;
        int used, release_base;
        const char *serial_prefix;
    };
    for (const auto &[file, used, release_base, serial_prefix] :
         {Table{"full-hub.umockdev", 125, 0x1000, "E59"}, Table{"full-hub-31.umockdev", 31, 0x2000, "E57"}}) {
        const auto survey = run({{file}, {}}, "hubsurvey");
        EXPECT_CLEAN_RUN(survey);
        std::string expected;
        char line[64];
        for (int port = 1; port <= used; ++port) {
            std::snprintf(line, sizeof line, "H0 TXC 04e7:%s %04x %s%04d\n", port % 2 ? "0030" : "0009",
                          release_base + port, serial_prefix, port);
            expected += line;
        }
        EXPECT_EQ(survey.out, expected) << file;

        const auto cycle = run({{file}, {}}, "portcycle");
        EXPECT_CLEAN_RUN(cycle);
        EXPECT_EQ(count(cycle.out, " found "), static_cast<std::size_t>(used)) << file;
        EXPECT_EQ(count(cycle.out, "reset rc = 0\n"), static_cast<std::size_t>(used)) << file;
        EXPECT_NE(cycle.out.find(std::to_string(used - 1) + " found 04e7:"), std::string::npos) << file;
        std::vector<std::string> expected_nodes;
        for (int port = 1; port <= used; ++port) {
            std::snprintf(line, sizeof line, "001/%03d", port + 2);
            expected_nodes.push_back(line);
        }
        EXPECT_EQ(resets(cycle), expected_nodes) << file;
    }
}

TEST(Hostile, ManyDevicesAndBuses)
{
    // One bus with all 127 device numbers in use, and eight buses.
    for (const char *arguments : {"-l 127", "-l -b 8 100"}) {
        const GeneratedTree tree(arguments);
        ASSERT_FALSE(tree.path.empty()) << arguments;
        const auto controllers = controllers_of(tree.path);
        ASSERT_FALSE(controllers.empty());

        const auto survey = run({{tree.path}, {}}, "hubsurvey");
        EXPECT_CLEAN_RUN(survey);
        EXPECT_EQ(count(survey.out, " TXC "), controllers.size()) << arguments;
        expect_consistent_identities(survey.out);

        const auto cycle = run({{tree.path}, {}}, "portcycle");
        EXPECT_CLEAN_RUN(cycle);
        auto reset_nodes = resets(cycle);
        std::sort(reset_nodes.begin(), reset_nodes.end());
        auto expected = controllers;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(reset_nodes, expected) << arguments;
    }
}

TEST(Hostile, DeviceNumberClaimedByTwoHubs)
{
    // The second hub's port 1 names the first hub's controller: the library
    // gives it to the first hub only and leaves the second hub's slot null.
    const auto r = run({{"three-monitors.umockdev"}, {"--port-devnum", "001/005:1=3"}}, "portcycle");
    EXPECT_CLEAN_RUN(r);
    EXPECT_EQ(r.out, "0 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0331 E583231\n"
                     "reset rc = 0\n"
                     "1 found 04b3:4677\n"
                     "1 found 04b3:4679\n"
                     "0 found 04e7:0030\n"
                     "Resetting ELO Device 04e7:0030 0333 E583233\n"
                     "reset rc = 0\n"
                     "1 found 04b3:4678\n");
    EXPECT_EQ(resets(r), (std::vector<std::string>{"001/003", "002/003"}));
}

TEST(Hostile, EveryFaultAtOnce)
{
    // Strings that stall, a reset that fails and one whose device is gone,
    // an open that fails, a null slot: each controller still gets its lines.
    const e2e::Setup setup{{"full-hub-31.umockdev"},
                           {"--string-fault", "001/003=stall", "--string-fault", "001/004=timeout",
                            "--reset-fault", "001/005=EIO", "--reset-fault", "001/006=ENODEV",
                            "--gone-after-reset", "001/007", "--open-fails", "001/008",
                            "--port-devnum", "001/002:7=120", "--drop-node", "001/010"}};
    for (const char *tool : {"hubsurvey", "portcycle"}) {
        const auto r = run(setup, tool);
        EXPECT_CLEAN_RUN(r);
        EXPECT_EQ(e2e::unexpected_line(tool, r.out), "") << tool;
    }
    const auto cycle = run(setup, "portcycle");
    EXPECT_NE(cycle.out.find("Resetting ELO Device 04e7:0030 2001 \nreset rc = 0\n"), std::string::npos);
    EXPECT_NE(cycle.out.find("Resetting ELO Device 04e7:0030 2003 E570003\nreset rc = -5\n"), std::string::npos);
    EXPECT_NE(cycle.out.find("Resetting ELO Device 04e7:0009 2004 E570004\nreset rc = -19\n"), std::string::npos);
    EXPECT_EQ(count(cycle.out, " found "), 29u); // two null slots of 31
    EXPECT_EQ(resets(cycle).size(), 28u);        // and one controller without a handle
}

TEST(Hostile, MaxchildBeyondAPortTable)
{
    // The display hub of the bundled monitor claims more ports than the 127
    // of a port table, or its number has trailing white space: both the
    // library's child list (view full) and the device tree's (view eperm)
    // still give its four children. usbsim, too, keeps a table of 127 ports.
    for (const char *view : {"full", "eperm"}) {
        const auto reference = run({{"monitor.umockdev"}, {"--view", view}}, "portcycle");
        EXPECT_CLEAN_RUN(reference);
        EXPECT_EQ(resets(reference), std::vector<std::string>{"001/003"}) << view;
        for (const char *maxchild : {"4294967295", "99999999999999999999", "4 "}) {
            const DerivedDescription hub("monitor.umockdev", "1-1", "maxchild", maxchild);
            ASSERT_FALSE(hub.path.empty());
            const auto r = run({{hub.path}, {"--view", view}}, "portcycle");
            EXPECT_CLEAN_RUN(r);
            EXPECT_EQ(r.out, reference.out) << "maxchild '" << maxchild << "' in view " << view;
            EXPECT_EQ(resets(r), resets(reference)) << "maxchild '" << maxchild << "' in view " << view;
        }
    }
}
