// WTF-8 <-> UTF-16: every name Windows can list comes back unchanged, lone surrogates included,
// and text that is no WTF-8 is refused rather than guessed at.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "text/unicode.h"

namespace {

using Units = std::vector<uint16_t>;

TEST(Unicode, NamesSurviveTheRoundTrip)
{
    const Units names[] = {
        {'a', '.', 'e', 'x', 'e'},
        {0x041F, 0x0440, 0x043E},        // Cyrillic
        {0x6F22, 0x5B57},                 // CJK
        {0xD83D, 0xDE00},                 // an emoji: a pair
        {'x', 0xD800, 'y'},               // a lone high surrogate, which NTFS allows
        {0xDC00},                         // a lone low one
        {0xDC00, 0xD800},                 // two halves in the wrong order: two lone ones
    };
    for (const Units& name : names) {
        char utf8[64];
        ASSERT_TRUE(Utf16ToWtf8(name.data(), name.size(), utf8, sizeof utf8));
        uint16_t back[32];
        size_t units = 0;
        ASSERT_TRUE(Wtf8ToUtf16(utf8, back, 32, &units));
        EXPECT_EQ(Units(back, back + units), name);
    }
    char tiny[4];
    const Units pair = {0xD83D, 0xDE00};
    EXPECT_FALSE(Utf16ToWtf8(pair.data(), pair.size(), tiny, sizeof tiny)) << "four bytes and a NUL do not fit";
}

TEST(Unicode, NoWtf8IsRefused)
{
    uint16_t out[16];
    size_t units = 0;
    for (const char* text : {"\xC0\xAF",                      // an overlong slash
                             "\xE0\x80\xAF", "\xF8\x88\x80\x80\x80", "\xF4\x90\x80\x80",  // past U+10FFFF
                             "\xED\xA0\xBD\xED\xB8\x80",      // a pair spelt as two halves
                             "\x80", "abc\xE2\x82"})
        EXPECT_FALSE(Wtf8ToUtf16(text, out, 16, &units)) << text;
}

// Names compare as NTFS compares them, from the program's own table: no locale is loaded.
TEST(Unicode, UpcaseIsNtfsSimpleMapping)
{
    const std::pair<uint16_t, uint16_t> cases[] = {
        {'a', 'A'},       {'Z', 'Z'},       {0x00E9, 0x00C9},  // é
        {0x00FF, 0x0178},                                      // ÿ, far from its capital
        {0x0101, 0x0100}, {0x0100, 0x0100},                    // a run of pairs, both ends
        {0x03C2, 0x03A3}, {0x03C3, 0x03A3},                    // final and plain sigma
        {0x0131, 'I'},    {0x00DF, 0x00DF},                    // dotless i; sharp s has no single capital
        {0x0444, 0x0424}, {0xFF41, 0xFF21},                    // Cyrillic, fullwidth
        {0xD801, 0xD801}, {0x6F22, 0x6F22},                    // a surrogate, a caseless letter
    };
    for (const auto& c : cases)
        EXPECT_EQ(UpcaseUnit(c.first), c.second) << std::hex << c.first;
}

}  // namespace
