// The text module: WTF-8 <-> UTF-16 gives every name Windows can list back unchanged, lone
// surrogates included, and refuses text that is no WTF-8 rather than guess at it; no name may put
// a control character on the screen or read other than it is in the plain output, and JSON keeps
// every name exact in text a strict reader takes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "quarantine/quarantine.h"
#include "text/escape.h"
#include "text/unicode.h"
#include "text/windows_names.h"

using namespace std::string_literals;

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
    // The \\?\ form the Win32 layer hands the platform (a path in it kept), and the path shown for it.
    for (const auto& c : {std::make_pair("C:\\x\xc3\xa9", "\\\\?\\C:\\x\xc3\xa9"),
                          std::make_pair("\\\\srv\\share\\x", "\\\\?\\UNC\\srv\\share\\x"),
                          std::make_pair("\\\\?\\C:\\x", "\\\\?\\C:\\x")}) {
        uint16_t wide[32];
        size_t units = 0;
        char verbatim[64], shown[64];
        ASSERT_TRUE(ToVerbatimPath(c.first, wide, 32, &units) && Utf16ToWtf8(wide, units, verbatim, sizeof verbatim));
        const uint16_t* bare = WithoutVerbatimPrefix(wide);
        ASSERT_TRUE(Utf16ToWtf8(bare, units - static_cast<size_t>(bare - wide), shown, sizeof shown));
        EXPECT_EQ(std::make_pair(std::string(verbatim), std::string(shown)),
                  std::make_pair(std::string(c.second), std::string(c.first[2] == '?' ? "C:\\x" : c.first)));
    }
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
    // Names by it; bytes that are no UTF-8 compare exactly.
    EXPECT_TRUE(SameName("C:\\Windows\\caf\xc3\xa9\xcf\x82", "c:\\WINDOWS\\CAF\xc3\x89\xce\xa3"));
    EXPECT_FALSE(SameName("caf\xc3\xa9\xff", "CAF\xc3\x89\xff"));
}

TEST(PlainText, ControlsInvisiblesAndBytesThatAreNoUtf8AreEscaped)
{
    struct Case {
        std::string text;
        std::string shown;  // plain
        std::string json;   // on Linux: bytes that are no UTF-8 as Latin-1
    };
    const Case cases[] = {
        {"/a/plain name.exe", "/a/plain name.exe", "\"/a/plain name.exe\""},
        {"a\nSTATUS: Done\r\t\"", "a\\x0aSTATUS: Done\\x0d\\x09\"", "\"a\\u000aSTATUS: Done\\u000d\\u0009\\\"\""},
        {"\x1b[2J\x7f\0z"s, "\\x1b[2J\\x7f\\x00z", "\"\\u001b[2J\\u007f\\u0000z\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xc2\x9b" "1m \xc2\xa0", "\\xc2\\x9b1m \xc2\xa0", "\"\xc2\x9b" "1m \xc2\xa0\""},  // C1 CSI escaped, NBSP kept
        // Encoded surrogates, overlong forms, past U+10FFFF, cut short.
        {"\xe9t\xc3 \xed\xa0\x80 \xc0\xaf \xe0\x80\xaf \xf4\x90\x80\x80",
         "\\xe9t\\xc3 \\xed\\xa0\\x80 \\xc0\\xaf \\xe0\\x80\\xaf \\xf4\\x90\\x80\\x80",
         "\"\\u00e9t\\u00c3 \\u00ed\\u00a0\\u0080 \\u00c0\\u00af \\u00e0\\u0080\\u00af \\u00f4\\u0090\\u0080\\u0080\""},
        // Bidi controls and zero-width characters: "photo" RLO "gnp.exe" shows as photoexe.png.
        {"photo\xe2\x80\xaegnp.exe", "photo\\u202egnp.exe", "\"photo\xe2\x80\xaegnp.exe\""},
        {"\xe2\x80\x8b\xef\xbb\xbf\xe2\x81\xa6" "a\xe2\x81\xa9\xe2\x80\x8f", "\\u200b\\ufeff\\u2066a\\u2069\\u200f",
         "\"\xe2\x80\x8b\xef\xbb\xbf\xe2\x81\xa6" "a\xe2\x81\xa9\xe2\x80\x8f\""},
        {"C:\\Program Files\\x.exe", "C:\\Program Files\\x.exe", "\"C:\\\\Program Files\\\\x.exe\""},
        {"", "", "\"\""}};
    for (const Case& c : cases) {
        EXPECT_EQ(PlainText(c.text), c.shown) << c.text;
        EXPECT_EQ(JsonString(c.text, false), c.json) << c.text;
        // The quarantine's index writes a path as the JSON output does, and reads back its bytes.
        QuarantineRecord record, back;
        record.path = c.text;
        record.metadata.xattrs = {{"user.x", c.text}};
        const std::string line = FormatFileLine(record);
        EXPECT_NE(line.find(",\"path\":" + c.json + ","), std::string::npos) << line;
        std::string type;
        ASSERT_TRUE(ParseIndexLine(line, &type, &back)) << line;
        EXPECT_EQ(std::make_pair(back.path, back.metadata.xattrs), std::make_pair(c.text, record.metadata.xattrs));
    }
    // A Windows name is WTF-8: a lone surrogate is its own unit there.
    EXPECT_EQ(JsonString("x\xED\xA0\x80y", true), "\"x\\ud800y\"");
}

}  // namespace
