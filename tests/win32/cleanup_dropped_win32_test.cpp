// RemoveDroppedFiles in the prefix's real Windows directory and at the root of its drive.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "cleanup/cleanup_win32.h"
#include "samples.h"

namespace {

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(DroppedFiles, DeletesTheFourTargetsWhateverTheirAttributesUnlessHeldOpen)
{
    char directory[MAX_PATH];
    const std::string windows(directory, GetWindowsDirectoryA(directory, sizeof directory));
    ASSERT_EQ(windows.substr(1, 2), ":\\");
    const std::string targets[] = {windows + "\\Services.exe", windows + "\\system32.exe",
                                   windows + "\\system32\\rund1132.exe", windows.substr(0, 3) + "msvbvm60.dll"};
    const DWORD attributes[] = {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                                FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_READONLY,
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY};
    // Look-alikes that must stay: the system's runtime library and its own rundll32.
    const std::string keep[] = {windows + "\\system32\\msvbvm60.dll", windows + "\\system32\\rundll32.exe"};
    ASSERT_TRUE(WriteBytes(keep[0], Bytes{'M', 'Z'}));
    // Each target's absence, and a refusal's reason, must be the failed call's own error.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RemoveDroppedFiles(nullptr, nullptr), 0) << "none there yet";

    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(WriteBytes(targets[i], Bytes{'M', 'Z', 'w', 'o', 'r', 'm'})) << targets[i];
        SetFileAttributesA(targets[i].c_str(), attributes[i]);
    }
    HANDLE holder = CreateFileA(targets[1].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    CleanupChanges changes;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RemoveDroppedFiles(nullptr, &changes), kCleanupFound | kCleanupRefused) << "the one held open stays";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Exists(targets[i]), i == 1) << targets[i];
    for (const CleanupChange& change : changes)
        EXPECT_EQ(change.error, change.place == targets[1] ? CleanupErrorText(ERROR_SHARING_VIOLATION) : "")
            << change.place;
    EXPECT_EQ(RemoveDroppedFiles(nullptr, nullptr), kCleanupFound | kCleanupRefused) << "a file held open stays, and says so";
    CloseHandle(holder);
    EXPECT_EQ(RemoveDroppedFiles(nullptr, nullptr), 1) << "released, it goes";
    EXPECT_FALSE(Exists(targets[1]));
    EXPECT_EQ(RemoveDroppedFiles(nullptr, nullptr), 0) << "nothing left";
    for (const std::string& kept : keep)
        EXPECT_TRUE(Exists(kept)) << kept;
    DeleteFileA(keep[0].c_str());
}

}  // namespace
