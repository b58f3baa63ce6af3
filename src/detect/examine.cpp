// Classification and the infection test of one file.
#include "detect/examine.h"

#include "detect/file_source.h"

namespace {

// Where the platform has no classification: one open, the headers read once for both questions.
FileCheck ExamineByHeaders(const char* path)
{
    FileCheck check{pe::kNotExecutable, FileVerdict::NotTested, 0};
    FsFile file;
    if (!FsOpenForTest(path, &file)) {
        check.error = FsLastError();
        check.verdict = FileVerdict::Unreadable;
        return check;
    }
    FileSource source(file);
    check.type = pe::ClassifyBinary(path, source);
    if (check.type == pe::kWin32Binary)
        check.verdict = pe::DecideInfection(source) ? FileVerdict::Infected : FileVerdict::Clean;
    if (source.Failed(&check.error)) {
        // Only a program whose marker window failed was classified from bytes that were read.
        if (check.type != pe::kWin32Binary)
            check.type = pe::kNotExecutable;
        check.verdict = FileVerdict::Unreadable;
    }
    FsClose(file);
    return check;
}

}  // namespace

FileCheck ExamineFile(const char* path)
{
    FileCheck check{pe::kNotExecutable, FileVerdict::NotTested, 0};
    int type = 0;
    switch (FsClassifyBinary(path, &type)) {
    case FsClassify::Unsupported:
        return ExamineByHeaders(path);
    case FsClassify::Unreadable:
        check.verdict = FileVerdict::Unreadable;
        check.error = FsLastError();
        return check;
    case FsClassify::NotExecutable:
        return check;
    case FsClassify::Classified:
        break;
    }
    check.type = static_cast<pe::BinaryType>(type);
    if (check.type == pe::kWin32Binary)
        check.verdict = TestExecutable(path, &check.error);
    return check;
}
