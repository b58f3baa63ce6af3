// The file byte source of the header readers.
#include "detect/file_source.h"

#include <cstring>

uint64_t FileSource::Size()
{
    if (!sizeKnown) {
        if (headLoaded && headLength < sizeof head)
            size = headLength;  // the first read already met the end
        else if (!FsFileSize(file, &size) && error == 0)
            error = FsLastError();
        sizeKnown = true;
    }
    return size;
}

bool FileSource::Read(uint64_t offset, void* out, uint32_t count)
{
    if (!headLoaded) {
        headLoaded = true;
        if (!FsReadUpTo(file, 0, head, sizeof head, &headLength)) {
            error = FsLastError();
            headLength = 0;
            return false;
        }
    }
    if (offset <= headLength && count <= headLength - offset) {
        std::memcpy(out, head + offset, count);
        return true;
    }
    if (headLength < sizeof head)
        return false;  // the file ends inside the head
    uint32_t got = 0;
    if (!FsReadUpTo(file, offset, out, count, &got)) {
        error = FsLastError();
        return false;
    }
    return got == count;
}

bool FileSource::Failed(int* failure) const
{
    if (error == 0)
        return false;
    *failure = error;
    return true;
}
