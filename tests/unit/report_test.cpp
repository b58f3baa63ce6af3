// The output's escaping: no name may put a control character on the screen or read other than it
// is in the plain output, and JSON keeps every name exact in text a strict reader takes.
#include <gtest/gtest.h>

#include <string>

#include "console/report.h"

using namespace std::string_literals;

namespace {

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
    }
    // A Windows name is WTF-8: a lone surrogate is its own unit there.
    EXPECT_EQ(JsonString("x\xED\xA0\x80y", true), "\"x\\ud800y\"");
}

}  // namespace
