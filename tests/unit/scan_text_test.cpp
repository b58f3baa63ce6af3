// Progress texts and child paths: exact wording, cut to their buffers (a byte past one is an
// error the address sanitizer reports).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fs/file_system.h"
#include "scan/scan_text.h"

namespace {

constexpr size_t kPathCapacity = 260;  // the window's text buffers

TEST(ScanText, ProgressIsCutToTheBuffer)
{
    char buffer[kPathCapacity];
    const std::string entry(220, 'd'), name(200, 'n');
    FormatProgress(buffer, sizeof buffer, entry.c_str(), name.c_str());
    EXPECT_EQ(std::string(buffer), ("STATUS: Scanning\nDirectory: " + entry + "\nFile: " + name).substr(0, 259));

    // 224 characters of entry and name together still fit whole.
    const std::string fitsEntry(124, 'd'), fitsName(100, 'n');
    FormatProgress(buffer, sizeof buffer, fitsEntry.c_str(), fitsName.c_str());
    EXPECT_EQ(std::string(buffer), "STATUS: Scanning\nDirectory: " + fitsEntry + "\nFile: " + fitsName);

    // A cut that would split a character leaves all of it out: the text stays UTF-8.
    const std::string wideEntry = std::string(230, 'd') + "\xCE\xB1";
    FormatProgress(buffer, sizeof buffer, wideEntry.c_str(), nullptr);
    EXPECT_EQ(std::string(buffer), "STATUS: Scanning\nDirectory: " + std::string(230, 'd'));
}

TEST(ScanText, ChildPaths)
{
    char out[kPathCapacity];
    const std::pair<const char*, const char*> cases[] = {
        {"E:\\", "E:\\Data"}, {"E:\\Data", "E:\\Data\\Data"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(BuildChildPath(c.first, "Data", out, sizeof out)) << c.first;
        EXPECT_STREQ(out, c.second);
    }
    ASSERT_TRUE(BuildChildPath("/", "mnt", out, sizeof out, '/'));
    EXPECT_STREQ(out, "/mnt");

    // 259 characters fit; one more does not, and the buffer is left empty.
    const std::string dir(250, 'a');
    ASSERT_TRUE(BuildChildPath(dir.c_str(), "12345678", out, sizeof out));
    EXPECT_EQ(std::strlen(out), 259u);
    EXPECT_FALSE(BuildChildPath(dir.c_str(), "123456789", out, sizeof out));
    EXPECT_STREQ(out, "");
}

}  // namespace
