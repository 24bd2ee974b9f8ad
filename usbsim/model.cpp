// SPDX-License-Identifier: GPL-2.0-or-later
/* model -- the emulated USB devices, as sysfs and their descriptors describe them */
#include "model.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace usbsim {

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::size_t kDeviceDescriptorLen = 18;
constexpr std::size_t kMaxStringUnits = 126;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::size_t kConfigDescriptorLen = 9;
constexpr std::size_t kNumConfigurationsAt = 17;
// The most ports a hub's usbfs port table can hold.
constexpr unsigned long kMaxPorts = 127;

// Offsets of the string indices in the device descriptor.
constexpr std::size_t kManufacturerIndexAt = 14;
constexpr std::size_t kProductIndexAt = 15;
constexpr std::size_t kSerialIndexAt = 16;

// Returns the whole content of `path`, or nothing if it cannot be read.
std::optional<std::string> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns a sysfs attribute of `dir` without the kernel's final newline.
std::optional<std::string> attribute(const fs::path &dir, const char *name)
{
    auto value = read_file(dir / name);
    if (value && !value->empty() && value->back() == '\n')
        value->pop_back();
    return value;
}

// Returns the decimal number held by attribute `name`, or 0; a larger
// number than `most` (one too large for unsigned long included) gives `most`.
unsigned number_attribute(const fs::path &dir, const char *name, unsigned long most = UINT_MAX)
{
    const auto value = attribute(dir, name);
    return value ? static_cast<unsigned>(std::min(std::strtoul(value->c_str(), nullptr, 10), most)) : 0;
}

// Returns the port that `text` names: decimal digits without a leading zero,
// 1..`ports`; 0 for anything else ("02", "+2", " 2", "2a").
unsigned port_number(std::string_view text, std::size_t ports)
{
    if (text.empty() || text.size() > 3 || text[0] == '0' ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    unsigned port = 0;
    for (const char c : text)
        port = port * 10 + static_cast<unsigned>(c - '0');
    return port <= ports ? port : 0;
}

// Returns the value of `key` in a uevent file's KEY=value lines.
std::string uevent_value(const std::string &uevent, std::string_view key)
{
    std::istringstream lines(uevent);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=')
            return line.substr(key.size() + 1);
    return {};
}

// Returns the configuration descriptors (each wTotalLength long) that
// follow the device descriptor.
std::vector<Bytes> configurations(const Bytes &descriptors)
{
    std::vector<Bytes> configs;
    std::size_t at = kDeviceDescriptorLen;
    while (at + 4 <= descriptors.size() && descriptors[at + 1] == kDescriptorConfiguration) {
        const std::size_t total = descriptors[at + 2] | (descriptors[at + 3] << 8);
        if (total < 4 || at + total > descriptors.size())
            break;
        configs.emplace_back(descriptors.begin() + static_cast<std::ptrdiff_t>(at),
                             descriptors.begin() + static_cast<std::ptrdiff_t>(at + total));
        at += total;
    }
    return configs;
}

// Appends the UTF-16 code units of `text` (UTF-8; bad bytes become U+FFFD).
std::vector<char16_t> utf16_units(std::string_view text)
{
    std::vector<char16_t> units;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
        char32_t cp = len == 1 ? lead : len == 2 ? lead & 0x1f : len == 3 ? lead & 0x0f : lead & 0x07;
        bool ok = len != 0 && i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto cont = static_cast<unsigned char>(text[i + k]);
            ok = (cont & 0xc0) == 0x80;
            cp = (cp << 6) | (cont & 0x3f);
        }
        static constexpr char32_t kMinForLen[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMinForLen[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            units.push_back(u'\ufffd');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xd800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xdc00 + ((cp - 0x10000) & 0x3ff)));
        } else {
            units.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return units;
}

} // namespace

std::vector<Device> load_devices(const std::string &root)
{
    std::vector<Device> devices;
    const fs::path dir = fs::path(root) / "sys/bus/usb/devices";
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find(':') != std::string::npos)
            continue; // an interface
        const fs::path sys = fs::canonical(entry.path(), ec);
        if (ec)
            continue;
        const std::string uevent = read_file(sys / "uevent").value_or("");
        const std::string devtype = uevent_value(uevent, "DEVTYPE");
        if (!devtype.empty() && devtype != "usb_device")
            continue;

        Device dev;
        dev.sysname = name;
        dev.busnum = number_attribute(sys, "busnum");
        dev.devnum = number_attribute(sys, "devnum");
        dev.maxchild = number_attribute(sys, "maxchild", kMaxPorts); // as the kernel's table
        dev.slow = attribute(sys, "speed").value_or("") == "1.5";
        dev.manufacturer = attribute(sys, "manufacturer");
        dev.product = attribute(sys, "product");
        dev.serial = attribute(sys, "serial");
        dev.ports.assign(dev.maxchild, 0);

        std::string devname = uevent_value(uevent, "DEVNAME");
        if (devname.rfind("/dev/", 0) == 0)
            devname.erase(0, 5);
        if (devname.rfind("bus/usb/", 0) == 0) {
            if (const auto content = read_file(fs::path(root) / "dev" / devname)) {
                dev.node = devname.substr(8);
                dev.descriptors.assign(content->begin(), content->end());
            }
        }
        devices.push_back(std::move(dev));
    }
    std::sort(devices.begin(), devices.end(),
              [](const Device &a, const Device &b) { return a.sysname < b.sysname; });
    return devices;
}

void build_port_tables(std::vector<Device> &devices)
{
    for (const Device &child : devices) {
        const std::string &name = child.sysname;
        if (name.rfind("usb", 0) == 0)
            continue; // a root hub
        const std::size_t dot = name.rfind('.');
        const std::size_t dash = name.find('-');
        if (dash == std::string::npos)
            continue;
        const std::size_t sep = dot != std::string::npos ? dot : dash;
        const std::string parent = dot != std::string::npos ? name.substr(0, dot) : "usb" + name.substr(0, dash);
        const std::string_view port_text = std::string_view(name).substr(sep + 1);
        for (Device &hub : devices) {
            if (hub.sysname != parent)
                continue;
            if (const unsigned port = port_number(port_text, hub.ports.size()); port != 0)
                hub.ports[port - 1] = child.devnum;
        }
    }
}

std::optional<unsigned> short_configuration(const Bytes &descriptors)
{
    if (descriptors.size() < kDeviceDescriptorLen)
        return std::nullopt;
    std::size_t at = kDeviceDescriptorLen;
    for (unsigned i = 0; i < descriptors[kNumConfigurationsAt] && at + 4 <= descriptors.size(); ++i) {
        const std::size_t total = descriptors[at + 2] | (descriptors[at + 3] << 8);
        if (total < kConfigDescriptorLen)
            return static_cast<unsigned>(total);
        at += total;
    }
    return std::nullopt;
}

std::vector<unsigned> interface_numbers(const Device &dev)
{
    std::vector<unsigned> numbers;
    const auto configs = configurations(dev.descriptors);
    if (configs.empty())
        return numbers;
    const Bytes &config = configs.front();
    for (std::size_t at = 0; at + 2 < config.size() && config[at] >= 2; at += config[at])
        if (config[at + 1] == kDescriptorInterface &&
            std::find(numbers.begin(), numbers.end(), config[at + 2]) == numbers.end())
            numbers.push_back(config[at + 2]);
    return numbers;
}

std::optional<Bytes> descriptor(const Device &dev, unsigned type, unsigned index)
{
    if (dev.descriptors.size() < kDeviceDescriptorLen)
        return std::nullopt;
    switch (type) {
    case kDescriptorDevice:
        if (index != 0)
            return std::nullopt;
        return Bytes(dev.descriptors.begin(), dev.descriptors.begin() + kDeviceDescriptorLen);
    case kDescriptorConfiguration: {
        auto configs = configurations(dev.descriptors);
        if (index >= configs.size())
            return std::nullopt;
        return std::move(configs[index]);
    }
    case kDescriptorString:
        if (index == 0)
            return Bytes{4, kDescriptorString, kLanguageEnglishUs & 0xff, kLanguageEnglishUs >> 8};
        // A device without a string for the index stalls the request.
        if (index == dev.descriptors[kSerialIndexAt] && dev.serial)
            return string_descriptor(*dev.serial);
        if (index == dev.descriptors[kProductIndexAt] && dev.product)
            return string_descriptor(*dev.product);
        if (index == dev.descriptors[kManufacturerIndexAt] && dev.manufacturer)
            return string_descriptor(*dev.manufacturer);
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

Bytes string_descriptor(std::string_view text)
{
    std::vector<char16_t> units = utf16_units(text);
    if (units.size() > kMaxStringUnits) {
        units.resize(kMaxStringUnits);
        if (units.back() >= 0xd800 && units.back() <= 0xdbff)
            units.pop_back(); // never half a surrogate pair
    }
    Bytes desc{static_cast<std::uint8_t>(2 + 2 * units.size()), kDescriptorString};
    for (const char16_t unit : units) {
        desc.push_back(static_cast<std::uint8_t>(unit & 0xff));
        desc.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return desc;
}

std::string errno_name(int err)
{
    const char *name = strerrorname_np(err);
    return name != nullptr ? name : std::to_string(err);
}

int parse_errno(std::string_view text)
{
    if (text.empty())
        return 0;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const long value = std::strtol(std::string(text).c_str(), nullptr, 10);
        return value > 0 && value < 4096 ? static_cast<int>(value) : 0;
    }
    for (int err = 1; err < 200; ++err) {
        const char *name = strerrorname_np(err);
        if (name != nullptr && text == name)
            return err;
    }
    return 0;
}

} // namespace usbsim
