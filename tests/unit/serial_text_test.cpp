// SPDX-License-Identifier: GPL-2.0-or-later
// serial_text_test -- device-supplied serial text made safe to print and compare.
#include <displayhub.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

using displayhub::clean_serial_text;

namespace {

// Returns `text` as the tools see it after cleaning it in a 256-byte buffer.
std::string cleaned(const std::string &text)
{
    std::array<char, 256> buffer{};
    std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size()));
    clean_serial_text(buffer);
    return std::string(buffer.data());
}

} // namespace

TEST(SerialText, KeepsPrintableAscii)
{
    std::string all;
    for (int c = 0x20; c <= 0x7e; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(cleaned(all), all);
    EXPECT_EQ(cleaned("E123456 tail "), "E123456 tail ");
    EXPECT_EQ(cleaned(""), "");
}

TEST(SerialText, ReplacesControlAndHighBytesOneForOne)
{
    EXPECT_EQ(cleaned("\x1b[2J"), "?[2J");
    EXPECT_EQ(cleaned("a\tb\nc\rd\x7f"), "a?b?c?d?");
    EXPECT_EQ(cleaned("Gr\xfc\xdf" "e"), "Gr??e");        // Latin-1
    EXPECT_EQ(cleaned("caf\xc3\xa9"), "caf??");           // UTF-8
    EXPECT_EQ(cleaned("\x01\x1f\x80\xff"), "????");
}

TEST(SerialText, StopsAtTerminatorAndLeavesTheRest)
{
    std::array<char, 8> buffer{'a', '\x1b', '\0', '\x1b', 'z', '\x01', 'q', 'r'};
    clean_serial_text(buffer);
    EXPECT_EQ((std::array<char, 8>{'a', '?', '\0', '\x1b', 'z', '\x01', 'q', '\0'}), buffer);
}

TEST(SerialText, TerminatesAFullBuffer)
{
    std::array<char, 256> buffer;
    buffer.fill('\x07');
    clean_serial_text(buffer);
    EXPECT_EQ(std::string(buffer.data()), std::string(255, '?'));
    EXPECT_EQ(buffer.back(), '\0');

    std::span<char> empty;
    clean_serial_text(empty); // nothing to touch, must not fault
}
