// The infection test on real files under the platform: sharing, handles released, and the same
// answers as the portable decision.
#include <gtest/gtest.h>
#include <windows.h>

#include "detect/infection.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

const Bytes& Clean()
{
    static const Bytes bytes = ReadBytes(SamplePath("sample32.exe"));
    return bytes;
}

TEST(IsInfectedExecutable, AnswersForRealFiles)
{
    ASSERT_FALSE(Clean().empty()) << SamplePath("sample32.exe");
    TempTree tree;
    tree.File("form10.exe", Infected(Clean(), MarkerForm::Form10));
    tree.File("form00.exe", Infected(Clean(), MarkerForm::Form00));
    tree.File("clean.exe", Clean());
    tree.File("empty.exe", Bytes());
    tree.Text("readme.txt", "plain text");
    Bytes cut = Infected(Clean(), MarkerForm::Form10);
    cut.resize(CodeSectionEnd(cut) + 3982);  // the last NUL is missing
    tree.File("cut.exe", cut);

    EXPECT_EQ(IsInfectedExecutable(tree.Path("form10.exe").c_str()), 1);
    EXPECT_EQ(IsInfectedExecutable(tree.Path("form00.exe").c_str()), 1);
    EXPECT_EQ(IsInfectedExecutable(tree.Path("clean.exe").c_str()), 0);
    EXPECT_EQ(IsInfectedExecutable(tree.Path("empty.exe").c_str()), 0);
    EXPECT_EQ(IsInfectedExecutable(tree.Path("readme.txt").c_str()), 0);
    EXPECT_EQ(IsInfectedExecutable(tree.Path("cut.exe").c_str()), 0);
    EXPECT_EQ(IsInfectedExecutable(tree.Path("missing.exe").c_str()), 0);

    // A bare name is resolved against the current directory.
    char before[MAX_PATH];
    GetCurrentDirectoryA(sizeof before, before);
    ASSERT_TRUE(SetCurrentDirectoryA(tree.Root().c_str()));
    EXPECT_EQ(IsInfectedExecutable("form00.exe"), 1);
    SetCurrentDirectoryA(before);
}

// A file that somebody holds open for writing cannot be tested; one held open for reading can.
TEST(IsInfectedExecutable, SharingRules)
{
    TempTree tree;
    tree.File("held.exe", Infected(Clean(), MarkerForm::Form10));
    const std::string path = tree.Path("held.exe");

    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsInfectedExecutable(path.c_str()), 0);
    CloseHandle(writer);

    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsInfectedExecutable(path.c_str()), 1);
    CloseHandle(reader);
}

// After the test, on every path, no handle stays open: the file can at once be opened
// exclusively and deleted, and its content is unchanged.
TEST(IsInfectedExecutable, ReleasesTheFile)
{
    TempTree tree;
    tree.File("a.exe", Infected(Clean(), MarkerForm::Form00));
    tree.Text("b.txt", "text");
    for (const char* name : {"a.exe", "b.txt"}) {
        const std::string path = tree.Path(name);
        const Bytes before = ReadBytes(path);
        IsInfectedExecutable(path.c_str());
        EXPECT_EQ(ReadBytes(path), before) << name;
        HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << name;
        CloseHandle(exclusive);
        EXPECT_TRUE(DeleteFileA(path.c_str())) << name;
    }
}

// The platform's classification agrees with the samples' kinds.
TEST(Classification, PlatformAnswers)
{
    DWORD type = 99;
    EXPECT_TRUE(GetBinaryTypeA(SamplePath("sample32.exe").c_str(), &type));
    EXPECT_EQ(type, static_cast<DWORD>(SCS_32BIT_BINARY));
    EXPECT_TRUE(GetBinaryTypeA(SamplePath("sample64.exe").c_str(), &type));
    EXPECT_EQ(type, static_cast<DWORD>(SCS_64BIT_BINARY));
    EXPECT_FALSE(GetBinaryTypeA(SamplePath("sample32.dll").c_str(), &type));
}

}  // namespace
