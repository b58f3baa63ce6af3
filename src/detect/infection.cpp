// The infection test over the file-system layer's positioned reads.
#include "detect/infection.h"

#include "detect/file_source.h"
#include "detect/pe_image.h"

FileVerdict TestExecutable(const char* path, int* error)
{
    FsFile file;
    if (!FsOpenForTest(path, &file)) {
        *error = FsLastError();
        return FileVerdict::Unreadable;
    }
    FileSource source(file);
    const bool infected = pe::DecideInfection(source);
    const FileVerdict verdict = source.Failed(error) ? FileVerdict::Unreadable
                                                    : infected ? FileVerdict::Infected : FileVerdict::Clean;
    FsClose(file);
    return verdict;
}

int IsInfectedExecutable(const char* path)
{
    int error = 0;
    return TestExecutable(path, &error) == FileVerdict::Infected ? 1 : 0;
}
