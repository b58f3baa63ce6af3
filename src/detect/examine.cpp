// Classification and the infection test of one file.
#include "detect/examine.h"

#include "detect/file_source.h"

FileCheck ExamineFile(const FsFile& file, const char* name)
{
    FileCheck check{pe::kNotExecutable, FileVerdict::NotTested, 0};
    FileSource source(file);
    check.type = pe::ClassifyBinary(name, source);
    if (check.type == pe::kWin32Binary)
        check.verdict = pe::DecideInfection(source) ? FileVerdict::Infected : FileVerdict::Clean;
    if (source.Failed(&check.error)) {
        // Only a program whose marker window failed was classified from bytes that were read.
        if (check.type != pe::kWin32Binary)
            check.type = pe::kNotExecutable;
        check.verdict = FileVerdict::Unreadable;
    }
    return check;
}
