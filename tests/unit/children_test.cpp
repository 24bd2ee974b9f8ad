// SPDX-License-Identifier: GPL-2.0-or-later
// children_test -- the child lookup of a display hub, on hand-made library records.
#include <displayhub.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using displayhub::hub_children;

namespace {

// A bus that no machine has, so the device tree knows none of its devices.
struct FakeBus {
    usb_bus bus{};
    struct usb_device hub{};
    struct usb_device a{}, b{};

    FakeBus()
    {
        std::strcpy(bus.dirname, "250");
        hub.bus = a.bus = b.bus = &bus;
        std::strcpy(hub.filename, "001");
        hub.devnum = 1;
        bus.devices = &hub;
        hub.next = &a;
        a.next = &b;
    }
};

} // namespace

TEST(HubChildren, UsesTheLibrarysArrayAsItIs)
{
    FakeBus t;
    struct usb_device *slots[] = {&t.b, nullptr, &t.a};
    t.hub.children = slots;
    t.hub.num_children = 3;
    EXPECT_EQ(hub_children(t.hub), (std::vector<struct usb_device *>{&t.b, nullptr, &t.a}));
}

TEST(HubChildren, IsEmptyWhenNeitherSourceKnowsAChild)
{
    FakeBus t;
    EXPECT_TRUE(hub_children(t.hub).empty());

    t.hub.devnum = 0; // device number unknown to the library and the node name
    std::strcpy(t.hub.filename, "-");
    EXPECT_TRUE(hub_children(t.hub).empty());

    t.hub.bus = nullptr;
    EXPECT_TRUE(hub_children(t.hub).empty());
}
