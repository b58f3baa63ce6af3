// The file-system layer over POSIX, for building and testing the portable code off Windows.
//
// It answers as the Win32 layer does for the same files: backslashes are separators, listings
// include . and .., a symbolic link to a directory is a directory with the reparse-point mark,
// a link to a file looks like the file, a dangling link is left out, and files are classified
// by their headers as the platform's executable classification does.
#include "app/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Copies path with backslashes turned into slashes; false when it does not fit.
bool ToPosixPath(const char* path, char* out, size_t capacity)
{
    size_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= capacity)
            return false;
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    out[i] = '\0';
    return true;
}

// Fills entry from a directory stream entry; false for entries the platform would not list.
bool DescribeEntry(const dirent* item, FsEntry* entry)
{
    const size_t length = std::strlen(item->d_name);
    if (length >= kPathCapacity)
        return false;
    struct stat link, target;
    if (lstat(item->d_name, &link) != 0)
        return false;
    const bool isLink = S_ISLNK(link.st_mode);
    if (isLink && stat(item->d_name, &target) != 0)
        return false;  // dangling or looping link
    const struct stat& info = isLink ? target : link;
    std::memcpy(entry->name, item->d_name, length + 1);
    entry->isDirectory = S_ISDIR(info.st_mode);
    entry->isReparsePoint = isLink && entry->isDirectory;
    return true;
}

}  // namespace

FsListStart FsListFirst(FsListing* listing, FsEntry* entry)
{
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return FsListStart::Failed;
    *listing = reinterpret_cast<FsListing>(dir);
    if (FsListNext(*listing, entry))
        return FsListStart::Listed;
    closedir(dir);
    return FsListStart::Empty;
}

bool FsListNext(FsListing listing, FsEntry* entry)
{
    DIR* dir = reinterpret_cast<DIR*>(listing);
    while (const dirent* item = readdir(dir)) {
        if (DescribeEntry(item, entry))
            return true;
    }
    return false;
}

void FsListClose(FsListing listing)
{
    closedir(reinterpret_cast<DIR*>(listing));
}

bool FsSetCurrentDirectory(const char* path)
{
    char posix[kPathCapacity];
    return ToPosixPath(path, posix, sizeof posix) && posix[0] != '\0' && chdir(posix) == 0;
}

bool FsGetCurrentDirectory(char* buffer, size_t capacity)
{
    if (getcwd(buffer, capacity) == nullptr)
        return false;
    for (char* p = buffer; *p != '\0'; ++p) {
        if (*p == '/')
            *p = '\\';
    }
    return true;
}

pe::BinaryType FsClassifyBinary(const char* path)
{
    FsFile file;
    if (!FsOpenForTest(path, &file))
        return pe::kNotExecutable;
    FsFileSource source{file, 0};
    const pe::BinaryType type = FsFileSize(file, &source.size) ? pe::ClassifyBinary(path, source)
                                                                 : pe::kNotExecutable;
    FsClose(file);
    return type;
}

void FsMakeDeletable(const char* path)
{
    char posix[kPathCapacity];
    if (ToPosixPath(path, posix, sizeof posix))
        chmod(posix, 0644);
}

bool FsDeleteFile(const char* path)
{
    char posix[kPathCapacity];
    return ToPosixPath(path, posix, sizeof posix) && unlink(posix) == 0;
}

bool FsOpenForTest(const char* path, FsFile* file)
{
    char posix[kPathCapacity];
    if (!ToPosixPath(path, posix, sizeof posix))
        return false;
    const int fd = open(posix, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    file->handle = fd;
    return true;
}

bool FsFileSize(FsFile file, uint64_t* size)
{
    struct stat info;
    if (fstat(static_cast<int>(file.handle), &info) != 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool FsReadAt(FsFile file, uint64_t offset, void* buffer, uint32_t count)
{
    auto* out = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t got = pread(static_cast<int>(file.handle), out, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<uint32_t>(got);
    }
    return true;
}

void FsClose(FsFile file)
{
    close(static_cast<int>(file.handle));
}
