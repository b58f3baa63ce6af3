// The infection test over the file-system layer's positioned reads.
#include "detect/infection.h"

#include "detect/file_source.h"
#include "detect/pe_image.h"

FileVerdict TestOpenedExecutable(const FsFile& file, int* error)
{
    FileSource source(file);
    const bool infected = pe::DecideInfection(source);
    return source.Failed(error) ? FileVerdict::Unreadable : infected ? FileVerdict::Infected : FileVerdict::Clean;
}

FileVerdict TestExecutableAt(const char* path, FsFile* file, int* error)
{
    if (!FsOpenFile(path, file)) {
        *error = FsLastError();
        return FileVerdict::Unreadable;
    }
    const FileVerdict verdict = TestOpenedExecutable(*file, error);
    if (verdict != FileVerdict::Infected)
        FsClose(file);
    return verdict;
}
