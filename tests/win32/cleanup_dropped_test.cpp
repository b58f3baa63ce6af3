// DeleteDroppedFiles in the prefix's real Windows directory and at the root of its drive.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "cleanup/cleanup.h"
#include "cleanup_helpers.h"
#include "samples.h"

namespace {

std::string WindowsDirectory()
{
    char path[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(path, sizeof path);
    return std::string(path, length);
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class DroppedFiles : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string windows = WindowsDirectory();
        ASSERT_GE(windows.size(), 3u);
        ASSERT_EQ(windows.substr(1, 2), ":\\");
        targets_ = {windows + "\\Services.exe", windows + "\\system32.exe", windows + "\\system32\\rund1132.exe",
                    windows.substr(0, 3) + "msvbvm60.dll"};
        for (const std::string& target : targets_)
            ASSERT_FALSE(Exists(target)) << target << " in a fresh prefix";
        // Look-alikes that must stay.
        keep_ = {windows + "\\system32\\msvbvm60.dll", windows + "\\system32\\rundll32.exe", windows + "\\system32"};
        ASSERT_TRUE(WriteBytes(keep_[0], Bytes{'M', 'Z'}));
        ASSERT_TRUE(Exists(keep_[1])) << "the platform's own rundll32";
    }
    void TearDown() override
    {
        StopHelper(&holder_);
        for (const std::string& target : targets_) {
            SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(target.c_str());
        }
        DeleteFileA(keep_[0].c_str());
    }

    void Plant(size_t index, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        ASSERT_TRUE(WriteBytes(targets_[index], Bytes{'M', 'Z', 'w', 'o', 'r', 'm'})) << targets_[index];
        SetFileAttributesA(targets_[index].c_str(), attributes);
    }

    void ExpectLookAlikesKept()
    {
        for (const std::string& kept : keep_)
            EXPECT_TRUE(Exists(kept)) << kept;
    }

    std::vector<std::string> targets_;
    std::vector<std::string> keep_;
    Helper holder_{};
};

TEST_F(DroppedFiles, NoTargetAnswersZero)
{
    EXPECT_EQ(DeleteDroppedFiles(), 0);
    ExpectLookAlikesKept();
}

TEST_F(DroppedFiles, DeletesAllFourWhateverTheirAttributes)
{
    Plant(0, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    Plant(1, FILE_ATTRIBUTE_HIDDEN);
    Plant(2, FILE_ATTRIBUTE_READONLY);
    Plant(3, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(DeleteDroppedFiles(), 1);
    for (const std::string& target : targets_)
        EXPECT_FALSE(Exists(target)) << target;
    ExpectLookAlikesKept();
    EXPECT_EQ(DeleteDroppedFiles(), 0) << "nothing left";
}

TEST_F(DroppedFiles, LibraryAtTheDriveRootAlone)
{
    Plant(3);
    EXPECT_EQ(DeleteDroppedFiles(), 1);
    EXPECT_FALSE(Exists(targets_[3]));
    ExpectLookAlikesKept();
}

// A target another process holds open stays and does not count; the others still go.
TEST_F(DroppedFiles, FileHeldOpenByAnotherProcessStays)
{
    Plant(1);
    ASSERT_TRUE(StartHelper("", "hold " + targets_[1], &holder_));
    EXPECT_EQ(DeleteDroppedFiles(), 0) << "a file that stays does not count";
    EXPECT_TRUE(Exists(targets_[1]));

    Plant(0);
    Plant(2);
    Plant(3);
    EXPECT_EQ(DeleteDroppedFiles(), 1);
    EXPECT_FALSE(Exists(targets_[0]));
    EXPECT_TRUE(Exists(targets_[1]));
    EXPECT_FALSE(Exists(targets_[2]));
    EXPECT_FALSE(Exists(targets_[3]));

    StopHelper(&holder_);
    EXPECT_EQ(DeleteDroppedFiles(), 1) << "released, it goes";
    EXPECT_FALSE(Exists(targets_[1]));
}

}  // namespace
