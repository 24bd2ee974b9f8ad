// SPDX-License-Identifier: GPL-2.0-or-later
/* model_test -- the emulated devices' descriptors and port tables */
#include <emulator.h>
#include <model.h>
#include <snapshot.h>

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <string>
#include <tuple>

namespace {

using usbsim::Bytes;
using usbsim::Device;

// Returns the UTF-16 code units of a string descriptor.
std::u16string units_of(const Bytes &desc)
{
    std::u16string units;
    for (std::size_t i = 2; i + 1 < desc.size(); i += 2)
        units.push_back(static_cast<char16_t>(desc[i] | (desc[i + 1] << 8)));
    return units;
}

// A device whose descriptor names string indices 1 (manufacturer),
// 2 (product) and 3 (serial), with one configuration of interfaces 0 and 2
// (from usbkbd.umockdev's keyboard, interface 1 renumbered to 2).
Device keyboard()
{
    Device dev;
    dev.sysname = "1-1.5.4.2";
    dev.descriptors = {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, 0xf3, 0x05, 0x07, 0x00, 0x20, 0x03,
                       0x01, 0x02, 0x03, 0x01,
                       0x09, 0x02, 0x22, 0x00, 0x02, 0x01, 0x00, 0xa0, 0x20,
                       0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x01, 0x00,
                       0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x08,
                       0x09, 0x04, 0x02, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00};
    return dev;
}

TEST(StringDescriptor, HoldsUtf16LittleEndianWithItsLength)
{
    const Bytes desc = usbsim::string_descriptor("E58");
    EXPECT_EQ(desc, (Bytes{8, 3, 'E', 0, '5', 0, '8', 0}));
}

TEST(StringDescriptor, ConvertsMultiByteUtf8AndSurrogatePairs)
{
    const Bytes desc = usbsim::string_descriptor("\xc3\xb6\xe2\x82\xac\xf0\x9f\x98\x80"); // ö € 😀
    EXPECT_EQ(desc[0], 2 + 2 * 4);
    EXPECT_EQ(units_of(desc), (std::u16string{u'\u00f6', u'\u20ac', 0xd83d, 0xde00}));
}

TEST(StringDescriptor, ReplacesMalformedUtf8)
{
    EXPECT_EQ(units_of(usbsim::string_descriptor("a\xff" "b")), (std::u16string{u'a', 0xfffd, u'b'}));
    EXPECT_EQ(units_of(usbsim::string_descriptor("\xc0\xaf")), (std::u16string{0xfffd, 0xfffd})); // overlong
    EXPECT_EQ(units_of(usbsim::string_descriptor("\xe2\x82")), (std::u16string{0xfffd, 0xfffd})); // cut short
}

TEST(StringDescriptor, CutsAt126UnitsWithoutHalvingAPair)
{
    EXPECT_EQ(usbsim::string_descriptor(std::string(200, 'x'))[0], 254);
    const Bytes desc = usbsim::string_descriptor(std::string(125, 'x') + "\xf0\x9f\x98\x80");
    EXPECT_EQ(desc[0], 2 + 2 * 125);
    EXPECT_EQ(desc.size(), 2u + 2 * 125);
}

TEST(Descriptor, AnswersStringsFromTheAttributesTheIndicesName)
{
    Device dev = keyboard();
    dev.manufacturer = "PI Engineering";
    dev.serial = "K1";
    EXPECT_EQ(usbsim::descriptor(dev, 3, 0), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(usbsim::descriptor(dev, 3, 3), usbsim::string_descriptor("K1"));
    EXPECT_EQ(usbsim::descriptor(dev, 3, 1), usbsim::string_descriptor("PI Engineering"));
    EXPECT_FALSE(usbsim::descriptor(dev, 3, 2)) << "index without its attribute stalls";
    EXPECT_FALSE(usbsim::descriptor(dev, 3, 4)) << "index the device does not name stalls";
}

TEST(Descriptor, AnswersDeviceAndConfigurationFromTheNode)
{
    const Device dev = keyboard();
    const auto device = usbsim::descriptor(dev, 1, 0);
    ASSERT_TRUE(device);
    EXPECT_EQ(*device, Bytes(dev.descriptors.begin(), dev.descriptors.begin() + 18));
    const auto config = usbsim::descriptor(dev, 2, 0);
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, Bytes(dev.descriptors.begin() + 18, dev.descriptors.end()));
    EXPECT_FALSE(usbsim::descriptor(dev, 2, 1));
    EXPECT_FALSE(usbsim::descriptor(dev, 0x22, 0));
    EXPECT_EQ(usbsim::interface_numbers(dev), (std::vector<unsigned>{0, 2}));
}

TEST(PortTables, FollowTheSysfsNames)
{
    std::vector<Device> devices(6);
    devices[0].sysname = "usb1", devices[0].devnum = 1, devices[0].ports.assign(3, 0);
    devices[1].sysname = "1-2", devices[1].devnum = 5;
    devices[2].sysname = "1-1", devices[2].devnum = 2, devices[2].ports.assign(4, 0);
    devices[3].sysname = "1-1.4", devices[3].devnum = 9;
    devices[4].sysname = "1-1.1", devices[4].devnum = 7;
    devices[5].sysname = "1-1.6", devices[5].devnum = 8; // beyond the hub's 4 ports
    // Names whose port is not plain digits without a leading zero sit on no port.
    for (const char *name : {"1-1.02", "1-1.+2", "1-1. 2", "1-1.2 ", "1-1.2a", "1-1.", "1-03", "1-0"}) {
        devices.emplace_back();
        devices.back().sysname = name, devices.back().devnum = 20;
    }
    usbsim::build_port_tables(devices);
    EXPECT_EQ(devices[0].ports, (std::vector<unsigned>{2, 5, 0}));
    EXPECT_EQ(devices[2].ports, (std::vector<unsigned>{7, 0, 0, 9}));
}

TEST(ShortConfiguration, FindsADescriptorShorterThanItsHeader)
{
    const Bytes keyboard_descriptors = keyboard().descriptors;
    EXPECT_FALSE(usbsim::short_configuration(keyboard_descriptors)) << "wTotalLength 34";
    // The device descriptor alone, a configuration of 9 bytes only.
    EXPECT_FALSE(usbsim::short_configuration(Bytes(keyboard_descriptors.begin(), keyboard_descriptors.begin() + 18)));
    Bytes header_only(keyboard_descriptors.begin(), keyboard_descriptors.begin() + 27);
    header_only[20] = 9;
    EXPECT_FALSE(usbsim::short_configuration(header_only));
    for (const std::uint8_t total : {0, 4, 8}) {
        Bytes desc = keyboard_descriptors;
        desc[20] = total;
        EXPECT_EQ(usbsim::short_configuration(desc), total);
    }
    // The second of two configurations.
    Bytes two = keyboard_descriptors;
    two[17] = 2;
    two.insert(two.end(), {0x09, 0x02, 0x05, 0x00, 0x00, 0x02, 0x00, 0xa0, 0x20});
    EXPECT_EQ(usbsim::short_configuration(two), 5u);
}

TEST(Errno, ParsesNamesAndNumbers)
{
    EXPECT_EQ(usbsim::parse_errno("EIO"), EIO);
    EXPECT_EQ(usbsim::parse_errno("19"), ENODEV);
    EXPECT_EQ(usbsim::parse_errno("EFOO"), 0);
    EXPECT_EQ(usbsim::parse_errno("-5"), 0);
    EXPECT_EQ(usbsim::errno_name(EPIPE), "EPIPE");
    EXPECT_EQ(usbsim::errno_name(ETIMEDOUT), "ETIMEDOUT");
}

TEST(Urbs, CompleteAsTheKernelHandsThemBack)
{
    Device dev = keyboard();
    dev.serial = "K1";
    usbsim::Urbs urbs;
    const auto ask = [&](unsigned long request, void *arg) {
        const usbsim::Reply reply = usbsim::answer(dev, usbsim::View::Full, request, arg, urbs);
        return reply.result < 0 ? -reply.err : reply.result;
    };
    // GET_DESCRIPTOR STRING 3 for 255 bytes, then GET_STATUS, which the device stalls.
    std::uint8_t serial[8 + 255] = {0x80, 6, 3, 3, 0x09, 0x04, 255, 0};
    std::uint8_t status[8 + 2] = {0x80, 0, 0, 0, 0, 0, 2, 0};
    usbdevfs_urb read{}, stalled{}, bulk{};
    read.type = stalled.type = USBDEVFS_URB_TYPE_CONTROL;
    read.buffer = serial, read.buffer_length = sizeof serial;
    stalled.buffer = status, stalled.buffer_length = sizeof status;
    bulk.type = USBDEVFS_URB_TYPE_BULK, bulk.endpoint = 0x81;
    void *reaped = nullptr;
    EXPECT_EQ(ask(USBDEVFS_REAPURBNDELAY, &reaped), -EAGAIN);
    EXPECT_EQ(ask(USBDEVFS_SUBMITURB, &read), 0);
    EXPECT_EQ(ask(USBDEVFS_SUBMITURB, &stalled), 0);
    EXPECT_EQ(ask(USBDEVFS_SUBMITURB, &bulk), -ENOTTY) << "only control URBs are emulated";
    EXPECT_EQ(ask(USBDEVFS_SUBMITURB, nullptr), -EFAULT);
    read.buffer_length = 8 + 10;
    EXPECT_EQ(ask(USBDEVFS_SUBMITURB, &read), -EINVAL) << "wLength beyond the buffer";
    EXPECT_EQ(ask(USBDEVFS_REAPURB, &reaped), 0);
    EXPECT_EQ(reaped, &read);
    EXPECT_EQ(std::tie(read.status, read.actual_length), std::make_tuple(0, 6));
    EXPECT_EQ(Bytes(serial + 8, serial + 14), usbsim::string_descriptor("K1"));
    EXPECT_EQ(ask(USBDEVFS_REAPURBNDELAY, &reaped), 0);
    EXPECT_EQ(reaped, &stalled);
    EXPECT_EQ(std::tie(stalled.status, stalled.actual_length), std::make_tuple(-EPIPE, 0));
    EXPECT_EQ(ask(USBDEVFS_DISCARDURB, &read), -EINVAL) << "reaped URBs are not pending";

    dev.faults.string_errno = ETIMEDOUT; // the device never answers
    read.buffer_length = sizeof serial;
    EXPECT_EQ(ask(USBDEVFS_SUBMITURB, &read), 0);
    EXPECT_EQ(ask(USBDEVFS_REAPURBNDELAY, &reaped), -EAGAIN);
    EXPECT_EQ(ask(USBDEVFS_DISCARDURB, &read), 0);
    EXPECT_EQ(ask(USBDEVFS_REAPURBNDELAY, &reaped), 0);
    EXPECT_EQ(std::tie(reaped, read.status), std::make_tuple(static_cast<void *>(&read), -ENOENT));
}

TEST(Snapshot, CarriesEveryNodeWithItsFaultsToTheCommandsProcesses)
{
    Device kbd = keyboard();
    kbd.node = "001/009", kbd.busnum = 1, kbd.devnum = 9, kbd.slow = true;
    kbd.manufacturer = "PI Engineering", kbd.product = "", kbd.serial = "Gr\xc3\xb6\xc3\x9f" "e 1\n";
    kbd.faults = {ETIMEDOUT, EIO, true};
    Device hub;
    hub.node = "002/001", hub.sysname = "usb2", hub.maxchild = 3, hub.ports = {0, 4, 0};
    Device dropped = keyboard(); // its node was dropped: it answers no ioctl
    const auto back = usbsim::read_snapshot(usbsim::write_snapshot({usbsim::View::NoIoctl, {kbd, dropped, hub}}));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->view, usbsim::View::NoIoctl);
    ASSERT_EQ(back->devices.size(), 2u);
    const Device &k = back->devices[0], &h = back->devices[1];
    EXPECT_EQ(std::tie(k.node, k.sysname, k.busnum, k.devnum, k.slow, k.manufacturer, k.product, k.serial, k.descriptors),
              std::tie(kbd.node, kbd.sysname, kbd.busnum, kbd.devnum, kbd.slow, kbd.manufacturer, kbd.product,
                       kbd.serial, kbd.descriptors));
    EXPECT_EQ(std::tie(k.faults.string_errno, k.faults.reset_errno, k.faults.gone_after_reset),
              std::tie(kbd.faults.string_errno, kbd.faults.reset_errno, kbd.faults.gone_after_reset));
    EXPECT_EQ(std::tie(h.node, h.maxchild, h.ports), std::tie(hub.node, hub.maxchild, hub.ports));
    EXPECT_FALSE(h.manufacturer);
    EXPECT_FALSE(usbsim::read_snapshot("usbsim-model 1 full\ndevice x3030 x\n")) << "a cut line";
    EXPECT_FALSE(usbsim::read_snapshot("usbsim-model 2 full\n")) << "another format";
}

} // namespace
