// The infection test and the classification on real files under the platform: sharing, the
// handle released, and a file that cannot be read told apart from one that is no program.
#include <gtest/gtest.h>
#include <windows.h>

#include "detect/examine.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

TEST(Examine, SharingAndRelease)
{
    const Bytes clean = ReadBytes(SamplePath("sample32.exe"));
    ASSERT_FALSE(clean.empty()) << SamplePath("sample32.exe");
    TempTree tree;
    tree.File("held.exe", Infected(clean, MarkerForm::Form10));
    tree.Text("notes.txt", "plain text");
    const std::string path = tree.Path("held.exe");

    // Held open for writing by somebody: it cannot be tested, and says so.
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsInfectedExecutable(path.c_str()), 0);
    EXPECT_EQ(ExamineFile(path.c_str()).verdict, FileVerdict::Unreadable);
    CloseHandle(writer);

    // Held open for reading only: tested all the same.
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsInfectedExecutable(path.c_str()), 1);
    CloseHandle(reader);

    const FileCheck text = ExamineFile(tree.Path("notes.txt").c_str());
    EXPECT_EQ(text.type, pe::kNotExecutable);
    EXPECT_EQ(text.verdict, FileVerdict::NotTested) << "no program is not a file that cannot be read";

    // No handle stays open: the file can at once be opened exclusively and deleted.
    EXPECT_EQ(ExamineFile(path.c_str()).verdict, FileVerdict::Infected);
    HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
