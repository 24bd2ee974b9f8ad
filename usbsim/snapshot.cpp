// SPDX-License-Identifier: GPL-2.0-or-later
/* snapshot -- the final device model, written by usbsim and read by the preload in every process */
#include "snapshot.h"

#include <charconv>

namespace usbsim {

namespace {

constexpr std::string_view kHeader = "usbsim-model 1";
constexpr std::string_view kViewNames[] = {"full", "eperm", "no-ioctl"};
constexpr char kHexDigits[] = "0123456789abcdef";

// Appends `bytes` as "x" and two hex digits a byte.
void put_hex(std::string &out, std::string_view bytes)
{
    out += ' ';
    out += 'x';
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0xf];
    }
}

// Appends an optional text: "-" when absent, else its bytes in hex.
void put_text(std::string &out, const std::optional<std::string> &text)
{
    if (text)
        put_hex(out, *text);
    else
        out += " -";
}

// Appends a number.
void put_number(std::string &out, long value)
{
    out += ' ';
    out += std::to_string(value);
}

// Reads the words of one line in order.
struct Words {
    std::string_view rest;
    bool ok = true;

    // Returns the next blank-separated word; clears `ok` at the end.
    std::string_view next()
    {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            ok = false;
            return {};
        }
        const std::size_t end = rest.find(' ', start);
        const std::string_view word = rest.substr(start, end - start);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
        return word;
    }

    // Returns the next word as a number; clears `ok` if it is none.
    long number()
    {
        const std::string_view word = next();
        long value = 0;
        const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
        ok = ok && ec == std::errc{} && end == word.data() + word.size();
        return value;
    }

    // Returns the bytes of the next word written by put_hex.
    std::string bytes()
    {
        const std::string_view word = next();
        std::string out;
        if (word.empty() || word[0] != 'x' || word.size() % 2 != 1) {
            ok = false;
            return out;
        }
        for (std::size_t i = 1; i + 1 < word.size(); i += 2) {
            unsigned value = 0;
            const auto [end, ec] = std::from_chars(word.data() + i, word.data() + i + 2, value, 16);
            ok = ok && ec == std::errc{} && end == word.data() + i + 2;
            out += static_cast<char>(value);
        }
        return out;
    }

    // Returns the next optional text written by put_text.
    std::optional<std::string> text()
    {
        if (rest.find_first_not_of(' ') != std::string_view::npos && rest[rest.find_first_not_of(' ')] == '-') {
            next();
            return std::nullopt;
        }
        return bytes();
    }
};

} // namespace

std::string write_snapshot(const Snapshot &snapshot)
{
    std::string out(kHeader);
    out += ' ';
    out += kViewNames[static_cast<int>(snapshot.view)];
    out += '\n';
    for (const Device &dev : snapshot.devices) {
        if (dev.node.empty())
            continue;
        out += "device";
        put_hex(out, dev.node);
        put_hex(out, dev.sysname);
        for (const long value : {long{dev.busnum}, long{dev.devnum}, long{dev.maxchild}, long{dev.slow},
                                 long{dev.faults.string_errno}, long{dev.faults.reset_errno},
                                 long{dev.faults.gone_after_reset}})
            put_number(out, value);
        put_text(out, dev.manufacturer);
        put_text(out, dev.product);
        put_text(out, dev.serial);
        put_hex(out, std::string_view(reinterpret_cast<const char *>(dev.descriptors.data()), dev.descriptors.size()));
        put_number(out, static_cast<long>(dev.ports.size()));
        for (const unsigned port : dev.ports)
            put_number(out, port);
        out += '\n';
    }
    return out;
}

std::optional<Snapshot> read_snapshot(std::string_view text)
{
    Snapshot snapshot;
    const std::size_t eol = text.find('\n');
    if (eol == std::string_view::npos)
        return std::nullopt;
    Words header{text.substr(0, eol)};
    const std::string_view magic = header.next(), version = header.next(), view = header.next();
    if (!header.ok || std::string(magic) + " " + std::string(version) != kHeader)
        return std::nullopt;
    bool known_view = false;
    for (std::size_t v = 0; v < std::size(kViewNames); ++v) {
        if (view == kViewNames[v]) {
            snapshot.view = static_cast<View>(v);
            known_view = true;
        }
    }
    if (!known_view)
        return std::nullopt;

    for (std::size_t at = eol + 1; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        Words line{text.substr(at, end - at)};
        at = end + 1;
        if (line.next() != "device")
            return std::nullopt;
        Device dev;
        dev.node = line.bytes();
        dev.sysname = line.bytes();
        dev.busnum = static_cast<unsigned>(line.number());
        dev.devnum = static_cast<unsigned>(line.number());
        dev.maxchild = static_cast<unsigned>(line.number());
        dev.slow = line.number() != 0;
        dev.faults.string_errno = static_cast<int>(line.number());
        dev.faults.reset_errno = static_cast<int>(line.number());
        dev.faults.gone_after_reset = line.number() != 0;
        dev.manufacturer = line.text();
        dev.product = line.text();
        dev.serial = line.text();
        const std::string descriptors = line.bytes();
        dev.descriptors.assign(descriptors.begin(), descriptors.end());
        const long nports = line.number();
        for (long p = 0; line.ok && p < nports; ++p)
            dev.ports.push_back(static_cast<unsigned>(line.number()));
        if (!line.ok || nports < 0)
            return std::nullopt;
        snapshot.devices.push_back(std::move(dev));
    }
    return snapshot;
}

} // namespace usbsim
