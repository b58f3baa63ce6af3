// The file-system layer over POSIX: for the Linux console scanner and for testing the portable code.
//
// It answers as the Win32 layer does for the same files: listings include . and .., a symbolic
// link to a directory is a directory with the reparse-point mark, a link to a file looks like the
// file, and a dangling link is left out. There is no executable classification here; the caller
// reads the headers itself.
#include "fs/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Fills entry from a directory stream entry; false for entries the platform would not list.
// The entry's type comes from the listing itself where the file system gives it, so a plain file
// or folder costs no extra call.
bool DescribeEntry(const dirent* item, FsEntry* entry)
{
    const size_t length = std::strlen(item->d_name);
    if (length >= kPathCapacity)
        return false;
    entry->isDirectory = entry->isReparsePoint = entry->isSpecial = false;
    if (item->d_type == DT_DIR) {
        entry->isDirectory = true;
    } else if (item->d_type == DT_LNK || item->d_type == DT_UNKNOWN) {
        struct stat info;
        bool isLink = item->d_type == DT_LNK;
        if (!isLink) {
            if (lstat(item->d_name, &info) != 0)
                return false;  // vanished
            isLink = S_ISLNK(info.st_mode);
        }
        if (isLink && stat(item->d_name, &info) != 0)
            return false;  // dangling or looping link
        entry->isDirectory = S_ISDIR(info.st_mode);
        entry->isReparsePoint = isLink && entry->isDirectory;
        entry->isSpecial = !entry->isDirectory && !S_ISREG(info.st_mode);
    } else if (item->d_type != DT_REG) {
        entry->isSpecial = true;
    }
    std::memcpy(entry->name, item->d_name, length + 1);
    return true;
}

// The file at path has a second name or a copy at target now: the original goes, or else the
// copy does, so a move that fails never leaves two.
bool DropOriginal(const char* path, const char* target)
{
    if (unlink(path) == 0)
        return true;
    const int error = errno;
    unlink(target);
    errno = error;
    return false;
}

}  // namespace

FsListStart FsListFirst(FsListing* listing, FsEntry* entry)
{
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return FsListStart::Failed;
    *listing = reinterpret_cast<FsListing>(dir);
    errno = 0;
    if (FsListNext(*listing, entry))
        return FsListStart::Listed;
    const int error = errno;
    closedir(dir);
    errno = error;
    return error == 0 ? FsListStart::Empty : FsListStart::Failed;
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
    return path[0] != '\0' && chdir(path) == 0;
}

bool FsGetCurrentDirectory(char* buffer, size_t capacity)
{
    return getcwd(buffer, capacity) != nullptr;
}

bool FsFullPath(const char* path, char* out, size_t capacity)
{
    // Made absolute and tidied by the text alone ("." and ".." parts, doubled separators), as the
    // Win32 layer does, so a link on the way is kept as the user named it.
    char joined[kFsPathCapacity];
    if (path[0] == '/') {
        if (std::snprintf(joined, sizeof joined, "%s", path) >= static_cast<int>(sizeof joined))
            return false;
    } else {
        char cwd[kFsPathCapacity];
        if (getcwd(cwd, sizeof cwd) == nullptr ||
            std::snprintf(joined, sizeof joined, "%s/%s", cwd, path) >= static_cast<int>(sizeof joined))
            return false;
    }
    size_t used = 0;
    for (const char* part = joined; *part != '\0';) {
        while (*part == '/')
            ++part;
        const size_t length = std::strcspn(part, "/");
        if (length == 0 || (length == 1 && part[0] == '.')) {
            part += length;
            continue;
        }
        if (length == 2 && part[0] == '.' && part[1] == '.') {
            while (used > 0 && out[--used] != '/') {
            }
        } else {
            if (used + 1 + length + 1 > capacity)
                return false;
            out[used++] = '/';
            std::memcpy(out + used, part, length);
            used += length;
        }
        part += length;
    }
    if (used == 0) {
        if (capacity < 2)
            return false;
        out[used++] = '/';
    }
    out[used] = '\0';
    return true;
}

bool FsIsDirectory(const char* path)
{
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

FsClassify FsClassifyBinary(const char*, int*)
{
    return FsClassify::Unsupported;
}

void FsMakeDeletable(const char* path)
{
    // The read-only attribute of a mounted Windows volume shows as a missing write permission.
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0)
        chmod(path, (info.st_mode & 07777) | S_IWUSR);
}

bool FsDeleteFile(const char* path)
{
    return unlink(path) == 0;
}

bool FsMoveFile(const char* path, const char* target)
{
    if (renameat2(AT_FDCWD, path, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
        return true;
    // A file system that cannot rename without replacing: a second name never replaces either.
    if ((errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) && link(path, target) == 0)
        return DropOriginal(path, target);
    if (errno != EXDEV && errno != EPERM && errno != ENOTSUP && errno != EMLINK)
        return false;
    // Across volumes: a copy, then the original goes.
    return FsCopyToNewFile(path, target) && DropOriginal(path, target);
}

bool FsCopyToNewFile(const char* path, const char* target)
{
    const int in = open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat info;
    const int out = fstat(in, &info) == 0 ? open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 0777)
                                          : -1;
    if (out < 0) {
        const int error = errno;
        close(in);
        errno = error;
        return false;
    }
    bool copied = true;
    char block[65536];
    for (ssize_t got; copied && (got = read(in, block, sizeof block)) != 0;) {
        if (got < 0) {
            copied = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0, put; copied && done < got; done += put > 0 ? put : 0) {
            put = write(out, block + done, static_cast<size_t>(got - done));
            copied = put >= 0 || errno == EINTR;
        }
    }
    copied = copied && fsync(out) == 0;
    const int error = errno;
    copied = close(out) == 0 && copied;
    close(in);
    if (!copied) {
        unlink(target);  // never leave half a copy behind
        errno = error;
    }
    return copied;
}

bool FsTargetExists()
{
    return errno == EEXIST;
}

bool FsOpenForTest(const char* path, FsFile* file)
{
    // Not blocking: a FIFO that slipped into a tree must not hold the scan.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    file->handle = fd;
    return true;
}

bool FsFileSize(FsFile file, uint64_t* size)
{
    struct stat info;
    if (fstat(static_cast<int>(file.handle), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool FsReadUpTo(FsFile file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got)
{
    auto* out = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t read = pread(static_cast<int>(file.handle), out + done, count - done,
                                   static_cast<off_t>(offset + done));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        if (read == 0)
            break;
        done += static_cast<uint32_t>(read);
    }
    *got = done;
    return true;
}

bool FsReadAt(FsFile file, uint64_t offset, void* buffer, uint32_t count)
{
    uint32_t got = 0;
    return FsReadUpTo(file, offset, buffer, count, &got) && got == count;
}

void FsClose(FsFile file)
{
    close(static_cast<int>(file.handle));
}

int FsLastError()
{
    return errno;
}

void FsErrorText(int error, char* out, size_t capacity)
{
    if (capacity == 0)
        return;
    const char* text = strerror_r(error, out, capacity);  // the GNU form may return its own text
    if (text != out)
        std::snprintf(out, capacity, "%s", text);
}
