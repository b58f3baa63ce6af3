// The file-system layer over POSIX: for the Linux console scanner and for testing the portable code.
//
// Every folder is held open while it is listed, and its files are opened, tested and removed
// relative to that descriptor, never by a path that someone could bend through a link meanwhile.
// Links are never followed: a link to a folder is a folder with the link mark, every other link
// (a dangling one too) a file with it, and neither is opened.
#include "fs/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct FsDirState {
    int fd;
    char* path;
    FsFileId id;
    int unlisted;  // for a folder that could be entered but not read: why its listing fails
    bool listed;   // listed before, so its descriptor no longer stands at its start
};

// A listing read straight from the folder's own descriptor, a block of entries at a time: no
// second descriptor and no stream to set up for each folder.
struct FsListingState {
    FsDir dir;  // listed through its descriptor; it outlives the listing
    // Whether the listing's inode numbers are those a stat gives: known from the "." entry. Most
    // file systems agree; some (FUSE without its own numbers, overlays over several file
    // systems) do not, and their entries are asked one by one.
    enum class Numbers : unsigned char { Unknown, Agree, Differ } numbers;
    size_t at, end;  // the next entry and the end of what block holds
    alignas(8) char block[32768];
};

namespace {

constexpr int kChangedError = 0x7FFF0001;  // no errno has this value

FsFileId IdOf(const struct stat& info)
{
    return FsFileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// Fills entry from a directory stream entry; false for entries that vanished meanwhile. The type
// comes from the listing itself where the file system gives it, so a plain file or folder costs
// no extra call.
bool DescribeEntry(int folder, const dirent64* item, FsEntry* entry)
{
    const size_t length = std::strlen(item->d_name);
    if (length >= kFsNameCapacity)
        return false;
    *entry = FsEntry{};
    unsigned char type = item->d_type;
    struct stat info;
    if (type == DT_UNKNOWN) {
        if (fstatat(folder, item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : S_ISLNK(info.st_mode) ? DT_LNK : DT_FIFO;
    }
    if (type == DT_LNK) {
        entry->isLink = true;
        // Only looked at, never entered: a link to a folder is no file of this tree.
        entry->isDirectory = fstatat(folder, item->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
    } else {
        entry->isDirectory = type == DT_DIR;
        entry->isSpecial = type != DT_DIR && type != DT_REG;
    }
    std::memcpy(entry->name, item->d_name, length + 1);
    return true;
}

bool SameFile(int folder, const char* name, const struct stat& tested)
{
    struct stat now;
    return fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == tested.st_dev &&
           now.st_ino == tested.st_ino;
}

// Copies the open file in to a new file name in folder, flushed; the copy goes on failure.
bool CopyOpenFile(int in, const struct stat& info, int folder, const char* name)
{
    const int out = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, info.st_mode & 0777);
    if (out < 0)
        return false;
    bool copied = true;
    static thread_local char block[65536];
    off_t at = 0;
    for (ssize_t got; copied && (got = pread(in, block, sizeof block, at)) != 0;) {
        if (got < 0) {
            copied = errno == EINTR;
            continue;
        }
        at += got;
        for (ssize_t done = 0, put; copied && done < got; done += put > 0 ? put : 0) {
            put = write(out, block + done, static_cast<size_t>(got - done));
            copied = put >= 0 || errno == EINTR;
        }
    }
    copied = copied && fsync(out) == 0;
    const int error = errno;
    copied = close(out) == 0 && copied;
    if (!copied) {
        unlinkat(folder, name, 0);  // never leave half a copy behind
        errno = error;
    }
    return copied;
}

// The target name for attempt n: name, then name.1, name.2, ...
bool TargetName(const char* name, int n, char* out, size_t capacity)
{
    const int used = n == 0 ? std::snprintf(out, capacity, "%s", name) : std::snprintf(out, capacity, "%s.%d", name, n);
    return used >= 0 && static_cast<size_t>(used) < capacity;
}

// Gives the file at folder/name a new name in moveFolder without replacing anything; the copy
// across file systems goes to a temporary name first, so a partial copy never holds a final name.
bool MoveOut(FsFile* file, const struct stat& tested, int moveFolder, char* final, size_t capacity, const char* exact)
{
    const int folder = file->dir->fd;
    bool copied = false;
    char temporary[64];
    for (int n = 0; n < 10000; ++n) {
        if (exact != nullptr && n > 0) {
            errno = EEXIST;
            break;
        }
        if (!TargetName(exact != nullptr ? exact : file->name, n, final, capacity) || std::strlen(final) >= 256) {
            errno = ENAMETOOLONG;
            break;
        }
        if (!copied) {
            if (renameat2(folder, file->name, moveFolder, final, RENAME_NOREPLACE) == 0)
                return true;
            if (errno == EEXIST)
                continue;
            if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
                // A file system that cannot rename without replacing: a second name never replaces.
                if (linkat(folder, file->name, moveFolder, final, 0) == 0) {
                    if (SameFile(folder, file->name, tested) && unlinkat(folder, file->name, 0) == 0)
                        return true;
                    const int error = errno;
                    unlinkat(moveFolder, final, 0);
                    errno = error;
                    return false;
                }
                if (errno == EEXIST)
                    continue;
            }
            if (errno != EXDEV)
                return false;
            std::snprintf(temporary, sizeof temporary, ".qfscan-%ld-%p.part", static_cast<long>(getpid()),
                          static_cast<void*>(file));
            if (!CopyOpenFile(static_cast<int>(file->handle), tested, moveFolder, temporary))
                return false;
            copied = true;
        }
        if (linkat(moveFolder, temporary, moveFolder, final, 0) != 0) {
            if (errno == EEXIST)
                continue;
            break;
        }
        unlinkat(moveFolder, temporary, 0);
        fsync(moveFolder);  // the copy's name on its disk before the original leaves the other
        if (SameFile(folder, file->name, tested) && unlinkat(folder, file->name, 0) == 0)
            return true;
        const int error = SameFile(folder, file->name, tested) ? errno : kChangedError;
        unlinkat(moveFolder, final, 0);  // never leave two
        errno = error;
        return false;
    }
    if (copied) {
        const int error = errno;
        unlinkat(moveFolder, temporary, 0);
        errno = error;
    }
    return false;
}

// Looks for "." in the block just read (hashed listings give it anywhere): its number against
// the folder's own tells whether the listing's numbers can be trusted.
void JudgeNumbers(FsListingState* listing)
{
    for (size_t at = 0; at < listing->end;) {
        const auto* item = reinterpret_cast<const dirent64*>(listing->block + at);
        if (std::strcmp(item->d_name, ".") == 0) {
            listing->numbers = item->d_ino == listing->dir->id.file ? FsListingState::Numbers::Agree
                                                                   : FsListingState::Numbers::Differ;
            return;
        }
        at += item->d_reclen;
    }
}

}  // namespace

bool FsOpenDirectory(const char* path, const FsFileId* expected, FsDir* dir, FsFileId* id)
{
    const int flags = O_DIRECTORY | O_CLOEXEC | (expected != nullptr ? O_NOFOLLOW : 0);
    int fd = path[0] != '\0' ? open(path, O_RDONLY | flags) : (errno = ENOENT, -1);
    // A folder that may be entered but not read: entered all the same, so that its listing is
    // what fails, as on Windows.
    int unlisted = 0;
    if (fd < 0 && errno == EACCES && faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0) {
        unlisted = EACCES;
        fd = open(path, O_PATH | flags);
    }

    if (fd < 0)
        return false;
    struct stat info;
    // A name on the same volume that now names another folder was renamed over; a folder on
    // another volume is a mount point (a rename cannot cross volumes, and a link is not opened).
    if (fstat(fd, &info) != 0 ||
        (expected != nullptr && info.st_dev == expected->volume && info.st_ino != expected->file)) {
        const int error = expected != nullptr ? kChangedError : errno;
        close(fd);
        errno = error;
        return false;
    }
    auto* state = static_cast<FsDirState*>(std::malloc(sizeof(FsDirState)));
    char* copy = strdup(path);
    if (state == nullptr || copy == nullptr) {
        std::free(state);
        std::free(copy);
        close(fd);
        errno = ENOMEM;
        return false;
    }
    *state = FsDirState{fd, copy, IdOf(info), unlisted, false};
    *dir = state;
    *id = IdOf(info);
    return true;
}

void FsCloseDirectory(FsDir dir)
{
    close(dir->fd);
    std::free(dir->path);
    std::free(dir);
}

const char* FsDirectoryPath(FsDir dir)
{
    return dir->path;
}

FsListStart FsListFirst(FsDir dir, FsListing* listing, FsEntry* entry)
{
    auto* state = dir->unlisted == 0 ? static_cast<FsListingState*>(std::malloc(sizeof(FsListingState))) : nullptr;
    if (state == nullptr) {
        errno = dir->unlisted != 0 ? dir->unlisted : ENOMEM;
        return FsListStart::Failed;
    }
    // A folder is listed from its start, however often it is listed.
    if (dir->listed && lseek(dir->fd, 0, SEEK_SET) != 0) {
        const int error = errno;
        std::free(state);
        errno = error;
        return FsListStart::Failed;
    }
    dir->listed = true;
    state->dir = dir;
    state->numbers = FsListingState::Numbers::Unknown;
    state->at = state->end = 0;
    *listing = state;
    errno = 0;
    if (FsListNext(*listing, entry))
        return FsListStart::Listed;
    const int error = errno;
    FsListClose(state);
    errno = error;
    return error == 0 ? FsListStart::Empty : FsListStart::Failed;
}

bool FsListNext(FsListing listing, FsEntry* entry)
{
    for (;;) {
        if (listing->at >= listing->end) {
            errno = 0;  // an entry that vanished meanwhile is no failure of the listing
            const ssize_t got = getdents64(listing->dir->fd, listing->block, sizeof listing->block);
            if (got <= 0)
                return false;  // the end, or a failure that errno tells
            listing->at = 0;
            listing->end = static_cast<size_t>(got);
            if (listing->numbers == FsListingState::Numbers::Unknown)
                JudgeNumbers(listing);
        }
        const auto* item = reinterpret_cast<const dirent64*>(listing->block + listing->at);
        listing->at += item->d_reclen;
        if (DescribeEntry(listing->dir->fd, item, entry)) {
            if (listing->numbers == FsListingState::Numbers::Agree && !entry->isLink)
                entry->index = item->d_ino;
            return true;
        }
    }
}

void FsListClose(FsListing listing)
{
    std::free(listing);
}

bool FsEntryId(FsDir dir, const FsEntry& entry, FsFileId* id)
{
    // A folder's inode number from a listing that gives true ones: a mount point's is that of the
    // folder it covers, which FsOpenDirectory takes as a mount point by its other volume.
    if (entry.index != 0) {
        *id = FsFileId{dir->id.volume, entry.index};
        return true;
    }
    struct stat info;
    if (fstatat(dir->fd, entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    *id = IdOf(info);
    return true;
}

bool FsFullPath(const char* path, char* out, size_t capacity)
{
    // Made absolute and tidied by the text alone ("." and ".." parts, doubled separators), as the
    // Win32 layer does, so a link on the way is kept as the user named it.
    if (path[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    static thread_local char joined[kFsPathCapacity];
    if (path[0] == '/') {
        if (std::snprintf(joined, sizeof joined, "%s", path) >= static_cast<int>(sizeof joined))
            return false;
    } else {
        char cwd[4096];
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

bool FsIsFile(const char* path)
{
    struct stat info;
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

bool FsOpenChild(FsDir dir, const FsEntry& entry, FsFile* file)
{
    *file = FsFile{-1, dir, entry.name, false};
    // Not blocking: a FIFO that slipped in since the listing must not hold the scan.
    const int fd = openat(dir->fd, entry.name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return false;
    // The test reads a few scattered pages: read-ahead past them would be most of the disk's work.
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    // A link put in its place fails above; a folder or FIFO fails its first read, never as clean.
    file->handle = fd;
    return true;
}

bool FsOpenFile(const char* path, FsFile* file)
{
    *file = FsFile{-1, nullptr, nullptr, false};
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash[1] == '\0' || static_cast<size_t>(slash - path) >= kFsPathCapacity) {
        errno = ENOENT;
        return false;
    }
    char parent[kFsPathCapacity];
    std::snprintf(parent, sizeof parent, "%.*s", slash == path ? 1 : static_cast<int>(slash - path), path);
    FsDir dir;
    FsFileId id;
    if (!FsOpenDirectory(parent, nullptr, &dir, &id))
        return false;
    FsEntry entry{};
    if (std::strlen(slash + 1) >= sizeof entry.name) {
        FsCloseDirectory(dir);
        errno = ENAMETOOLONG;
        return false;
    }
    // The name points into the caller's path, which outlives the file as FsEntry's would.
    std::strcpy(entry.name, slash + 1);
    if (!FsOpenChild(dir, entry, file)) {
        const int error = errno;
        FsCloseDirectory(dir);
        errno = error;
        return false;
    }
    file->name = slash + 1;
    file->ownsDir = true;
    return true;
}

bool FsFileSize(const FsFile& file, uint64_t* size)
{
    struct stat info;
    if (fstat(static_cast<int>(file.handle), &info) != 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool FsReadUpTo(const FsFile& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got)
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

void FsClose(FsFile* file)
{
    if (file->handle >= 0)
        close(static_cast<int>(file->handle));
    if (file->ownsDir && file->dir != nullptr)
        FsCloseDirectory(file->dir);
    *file = FsFile{-1, nullptr, nullptr, false};
}

FsDisposal FsDispose(FsFile* file, const char* moveFolder, bool, char* target, size_t capacity, const char* exactName)
{
    FsDisposal result{FsOutcome::NotDone, 0};
    const int fd = static_cast<int>(file->handle);
    const int folder = file->dir->fd;
    struct stat tested;
    if (fstat(fd, &tested) != 0) {
        result.error = errno;
    } else if (!SameFile(folder, file->name, tested)) {
        result.error = kChangedError;  // the name names another file by now: it is not ours to touch
    } else if (moveFolder != nullptr) {
        const int into = open(moveFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        char final[kFsNameCapacity];
        if (into >= 0 && MoveOut(file, tested, into, final, sizeof final, exactName)) {
            if (exactName != nullptr)
                fchmodat(into, final, tested.st_mode & 0666, 0);  // stored, never to be run from there
            const char* separator = moveFolder[std::strlen(moveFolder) - 1] == '/' ? "" : "/";
            const int used = std::snprintf(target, capacity, "%s%s%s", moveFolder, separator, final);
            if (used < 0 || static_cast<size_t>(used) >= capacity)
                std::snprintf(target, capacity, "%s", final);
            result.outcome = FsOutcome::Moved;
        } else {
            result.error = errno;
        }
        if (into >= 0)
            close(into);
    } else {
        // The read-only attribute of a mounted Windows volume shows as a missing write permission,
        // and such a volume refuses to delete the file until it is lifted.
        const bool lifted = (tested.st_mode & S_IWUSR) == 0 && fchmod(fd, (tested.st_mode & 07777) | S_IWUSR) == 0;
        if (unlinkat(folder, file->name, 0) == 0) {
            result.outcome = FsOutcome::Deleted;
        } else {
            result.error = errno;
            if (lifted)
                fchmod(fd, tested.st_mode & 07777);
        }
    }
    FsClose(file);
    errno = result.error;
    return result;
}

bool FsCopyToNewFile(const char* path, const char* target)
{
    const int in = open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat info;
    const bool copied = fstat(in, &info) == 0 && CopyOpenFile(in, info, AT_FDCWD, target);
    const int error = errno;
    close(in);
    errno = error;
    return copied;
}

bool FsTargetExists()
{
    return errno == EEXIST;
}

int FsLastError()
{
    return errno;
}

int FsChangedError()
{
    return kChangedError;
}

void FsErrorText(int error, char* out, size_t capacity)
{
    if (capacity == 0)
        return;
    if (error == kChangedError) {
        std::snprintf(out, capacity, "changed since it was tested (another file or a link in its place)");
        return;
    }
    const char* text = strerror_r(error, out, capacity);  // the GNU form may return its own text
    if (text != out)
        std::snprintf(out, capacity, "%s", text);
}

bool FsSetCurrentDirectory(const char* path)
{
    return chdir(path) == 0;
}
