// Progress texts and child paths: exact wording, and never a byte past a buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fs/file_system.h"
#include "scan/scan_text.h"

namespace {

// A 260-byte buffer followed by canary bytes that no writer may touch.
struct Guarded {
    char bytes[kPathCapacity + 16];
    Guarded() { std::memset(bytes, '#', sizeof bytes); bytes[0] = '\0'; }
    bool CanaryIntact() const
    {
        for (size_t i = kPathCapacity; i < sizeof bytes; ++i)
            if (bytes[i] != '#')
                return false;
        return true;
    }
};

TEST(ScanText, ProgressIsCutToTheBuffer)
{
    const std::string entry(220, 'd');
    const std::string name(200, 'n');
    Guarded buffer;
    FormatProgress(buffer.bytes, kPathCapacity, entry.c_str(), name.c_str());
    EXPECT_EQ(std::strlen(buffer.bytes), kPathCapacity - 1);
    EXPECT_EQ(std::string(buffer.bytes).substr(0, 28 + 220 + 7), "STATUS: Scanning\nDirectory: " + entry + "\nFile: ");
    EXPECT_TRUE(buffer.CanaryIntact());

    // 224 characters of entry and name together still fit whole.
    const std::string fitsEntry(124, 'd'), fitsName(100, 'n');
    FormatProgress(buffer.bytes, kPathCapacity, fitsEntry.c_str(), fitsName.c_str());
    EXPECT_EQ(std::strlen(buffer.bytes), 259u);
    EXPECT_EQ(std::string(buffer.bytes).substr(259 - 100), fitsName);
}

TEST(ScanText, ChildPaths)
{
    Guarded out;
    ASSERT_TRUE(BuildChildPath("E:\\", "Data", out.bytes, kPathCapacity));
    EXPECT_STREQ(out.bytes, "E:\\Data");
    ASSERT_TRUE(BuildChildPath("E:\\Data", "Old", out.bytes, kPathCapacity));
    EXPECT_STREQ(out.bytes, "E:\\Data\\Old");
    ASSERT_TRUE(BuildChildPath("/", "mnt", out.bytes, kPathCapacity, '/'));
    EXPECT_STREQ(out.bytes, "/mnt");

    // 259 characters fit; one more does not, and nothing is written past the buffer.
    const std::string dir(250, 'a');
    ASSERT_TRUE(BuildChildPath(dir.c_str(), "12345678", out.bytes, kPathCapacity));
    EXPECT_EQ(std::strlen(out.bytes), 259u);
    EXPECT_FALSE(BuildChildPath(dir.c_str(), "123456789", out.bytes, kPathCapacity));
    EXPECT_STREQ(out.bytes, "");
    EXPECT_TRUE(out.CanaryIntact());
}

}  // namespace
