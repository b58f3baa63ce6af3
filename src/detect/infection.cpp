// The infection test over the file-system layer's positioned reads.
#include "detect/infection.h"

#include "app/file_system.h"
#include "detect/pe_image.h"

int IsInfectedExecutable(const char* path)
{
    FsFile file;
    if (!FsOpenForTest(path, &file))
        return 0;
    FsFileSource source{file, 0};
    const bool infected = FsFileSize(file, &source.size) && pe::DecideInfection(source);
    FsClose(file);
    return infected ? 1 : 0;
}
