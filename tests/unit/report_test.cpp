// The plain output's escaping: no name may put a control character on the screen.
#include <gtest/gtest.h>

#include <string>

#include "console/report.h"

using namespace std::string_literals;

namespace {

TEST(PlainText, ControlsAndBytesThatAreNoUtf8AreEscaped)
{
    struct Case {
        std::string text;
        bool utf8;
        std::string shown;
    };
    const Case cases[] = {
        {"/a/plain name.exe", true, "/a/plain name.exe"},
        {"a\nSTATUS: Done\r\t", true, "a\\x0aSTATUS: Done\\x0d\\x09"},
        {"\x1b[2J\x7f\0z"s, true, "\\x1b[2J\\x7f\\x00z"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b" "1m \xc2\xa0", true, "\\xc2\\x9b1m \xc2\xa0"},          // C1 CSI escaped, NBSP kept
        {"\xe9t\xc3 \xed\xa0\x80 \xc0\xaf", true, "\\xe9t\\xc3 \\xed\\xa0\\x80 \\xc0\\xaf"},  // no UTF-8
        {"C:\\Program Files\\x.exe", true, "C:\\Program Files\\x.exe"},
        // Windows: ANSI text, a backslash is a separator; only controls are escaped.
        {"C:\\Dir\\caf\xe9\x9b.exe", false, "C:\\Dir\\caf\xe9\x9b.exe"},
        {"C:\\a\nb\x1b", false, "C:\\a\\x0ab\\x1b"},
        {"", true, ""}};
    for (const Case& c : cases)
        EXPECT_EQ(PlainText(c.text, c.utf8), c.shown) << c.text;
}

}  // namespace
