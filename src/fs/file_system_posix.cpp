// The file-system layer over POSIX: for the Linux console scanner and for testing the portable code.
//
// Every folder is held open while it is listed, and its files are opened, tested and removed
// relative to that descriptor, never by a path that someone could bend through a link meanwhile.
// Links are never followed: a link to a folder is a folder with the link mark, every other link
// (a dangling one too) a file with it, and neither is opened.
//
// One kind of link is a file: ntfs-3g shows an NTFS reparse point it has no plugin for as a link
// to "unsupported reparse tag 0x...". When the tag stands for the file's own data (a file that
// Windows compressed, deduplicated or left to a cloud provider), it is listed as the file it is,
// and opening it fails with an error that says so: counted as not scanned, never passed over.
#include "fs/file_system.h"
#include "fs/file_system_posix.h"
#include "fs/test_seams.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

struct FsDirState {
    int fd;
    char* path;  // a copy: the walk's text moves on while its chain holds the folder
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
constexpr int kCompressedError = 0x7FFF0002;  // a file Windows compressed, which the driver cannot read
constexpr int kReparseError = 0x7FFF0003;     // another reparse point of a file's data, likewise
constexpr int kReplacedError = 0x7FFF0004;    // another file at a listed name, in the disk's order

// The tag of the reparse point that ntfs-3g shows as the link name of folder when it holds the
// file's data, else 0. Name surrogates (links, junctions) are links; the few tags of files
// without data (application aliases, WSL's sockets, FIFOs and devices) are no loss.
uint32_t UnreadableReparse(int folder, const char* name)
{
    char target[64];
    const ssize_t length = readlinkat(folder, name, target, sizeof target - 1);
    if (length <= 0)
        return 0;
    target[length] = '\0';
    unsigned long tag = 0;
    char more = 0;
    if (std::sscanf(target, "unsupported reparse tag 0x%8lx%c", &tag, &more) != 1)
        return 0;
    constexpr unsigned long kNameSurrogate = 0x20000000, kAppAlias = 0x8000001B, kUnixSocket = 0x80000023;
    constexpr unsigned long kLinuxFifo = 0x80000024, kLinuxDevice = 0x80000026;
    if ((tag & kNameSurrogate) != 0 || tag == kAppAlias || tag == kUnixSocket || (tag >= kLinuxFifo && tag <= kLinuxDevice))
        return 0;
    return static_cast<uint32_t>(tag);
}

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
    if (type == DT_LNK && UnreadableReparse(folder, item->d_name) == 0) {
        entry->isLink = true;
        // Only looked at, never entered: a link to a folder is no file of this tree.
        entry->isDirectory = fstatat(folder, item->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
    } else {
        // A reparse point that holds a file's data is that file: opening it says why it cannot be read.
        entry->isDirectory = type == DT_DIR;
        entry->isSpecial = type != DT_DIR && type != DT_REG && type != DT_LNK;
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
    bool copied = FsCopyBytes(in, out) && fsync(out) == 0;
    const int error = errno;
    copied = close(out) == 0 && copied;
    if (!copied) {
        unlinkat(folder, name, 0);  // never leave half a copy behind
        errno = error;
    }
    return copied;
}

// On one file system: source renamed to final. Where that takes a second name, the first goes
// only while it still names the file tested, and never are both left.
bool RenameInto(int folder, const char* source, const struct stat& tested, int moveFolder, const char* final)
{
    bool linked = false;
    if (!FsRenameNew(folder, source, moveFolder, final, &linked))
        return false;
    if (!linked || (SameFile(folder, source, tested) && unlinkat(folder, source, 0) == 0))
        return true;
    const int error = errno;
    unlinkat(moveFolder, final, 0);
    errno = error;
    return false;
}

// Across file systems, first: a flushed copy of the open file under a temporary name of
// moveFolder, so that a partial copy never holds a final name.
bool CopyAcross(FsFile* file, const struct stat& tested, int moveFolder, char* temporary, size_t capacity)
{
    std::snprintf(temporary, capacity, ".qfscan-%ld-%p.part", static_cast<long>(getpid()), static_cast<void*>(file));
    return CopyOpenFile(static_cast<int>(file->handle), tested, moveFolder, temporary);
}

// Across file systems, then: the copy is put in place as final (never replacing a file; its name
// on its disk before the original leaves the other), and the original goes while it still is the
// file tested; otherwise the copy goes too. The temporary name goes always.
bool LinkCopy(int folder, const char* source, const struct stat& tested, int moveFolder, const char* temporary,
              const char* final)
{
    if (!FsPutInPlaceAt(moveFolder, temporary, final, false))
        return false;
    if (SameFile(folder, source, tested) && unlinkat(folder, source, 0) == 0)
        return true;
    const int error = SameFile(folder, source, tested) ? errno : kChangedError;
    unlinkat(moveFolder, final, 0);  // never leave two
    errno = error;
    return false;
}

// Gives the file at folder/source the name final in moveFolder, without replacing anything:
// renamed on one file system, copied across two.
bool MoveOut(FsFile* file, const char* source, const struct stat& tested, int moveFolder, const char* final)
{
    const int folder = file->dir->fd;
    if (RenameInto(folder, source, tested, moveFolder, final))
        return true;
    if (errno != EXDEV)
        return false;
    char temporary[64];
    return CopyAcross(file, tested, moveFolder, temporary, sizeof temporary) &&
           LinkCopy(folder, source, tested, moveFolder, temporary, final);
}

// FAT and exFAT have no inode numbers on disk: the kernel makes up a listing's numbers anew and
// they need not match what fstat says of the same file later, "." aside.
bool NumbersMadeUp(int fd)
{
    constexpr unsigned long kMsdos = 0x4d44, kExfat = 0x2011BAB0;
    struct statfs info;
    return fstatfs(fd, &info) == 0 &&
           (static_cast<unsigned long>(info.f_type) == kMsdos || static_cast<unsigned long>(info.f_type) == kExfat);
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

namespace {

// The file systems of the kernel's own state: what they hold is no file of a disk, and reading
// some of it takes something away (the kernel's messages from the system's log daemon).
struct KernelFileSystem {
    unsigned long type;  // statfs f_type
    const char* name;
};
constexpr KernelFileSystem kKernelFileSystems[] = {
    {0x9fa0, "proc"},         {0x62656572, "sysfs"},    {0x1cd1, "devpts"},      {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},  {0x73636673, "securityfs"}, {0x27e0eb, "cgroup"},    {0x63677270, "cgroup2"},
    {0xcafe4a11, "bpf"},      {0x6165676c, "pstore"},   {0x62656570, "configfs"}, {0xde5e81e4, "efivarfs"},
    {0x65735543, "fusectl"},  {0x19800202, "mqueue"},   {0x958458f6, "hugetlbfs"}, {0x01021994, "devtmpfs"},
};
constexpr int kKernelError = 0x7FFF0100;  // + the index of the file system in the table
constexpr int kDevtmpfs = 15;

// Whether the tmpfs of fd is the kernel's devtmpfs, which shares tmpfs's type number: its mount's
// entry in the mount table says (not known without /proc: then it is taken for a tmpfs).
bool IsDevtmpfs(int fd)
{
    struct statx info;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &info) != 0 || (info.stx_mask & STATX_MNT_ID) == 0)
        return false;
    std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
    if (table == nullptr)
        return false;
    bool found = false;
    char line[4096];
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
        const char* kind = std::strstr(line, " - ");
        found = std::strtoull(line, nullptr, 10) == info.stx_mnt_id && kind != nullptr &&
                std::strncmp(kind + 3, "devtmpfs ", 9) == 0;
    }
    std::fclose(table);
    return found;
}

// The kernel error for the folder fd when it holds a kernel file system, else 0.
int KernelFileSystemError(int fd)
{
    struct statfs info;
    if (fstatfs(fd, &info) != 0)
        return 0;
    for (int i = 0; i < static_cast<int>(sizeof kKernelFileSystems / sizeof kKernelFileSystems[0]); ++i) {
        if (static_cast<unsigned long>(info.f_type) == kKernelFileSystems[i].type && (i != kDevtmpfs || IsDevtmpfs(fd)))
            return kKernelError + i;
    }
    return 0;
}

// Wraps the open folder fd, with a copy of its path.
bool WrapOpenFolder(int fd, const struct stat& info, const char* path, int unlisted, FsDir* dir, FsFileId* id)
{
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

bool Refuse(int fd, int error)
{
    close(fd);
    errno = error;
    return false;
}

}  // namespace

bool FsOpenDirectory(const char* path, FsDir* dir, FsFileId* id)
{
    int fd = path[0] != '\0' ? open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : (errno = ENOENT, -1);
    // A folder that may be entered but not read: entered all the same, so that its listing is
    // what fails, as on Windows.
    int unlisted = 0;
    if (fd < 0 && errno == EACCES && faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0) {
        unlisted = EACCES;
        fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return Refuse(fd, errno);
    if (const int kernel = KernelFileSystemError(fd))
        return Refuse(fd, kernel);
    return WrapOpenFolder(fd, info, path, unlisted, dir, id);
}

bool FsOpenSubdirectory(FsDir parent, const char* name, const FsFileId& expected, const char* path, FsDir* dir,
                        FsFileId* id)
{
    constexpr int kFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parent->fd, name, O_RDONLY | kFlags);
    // A folder that may be entered but not read: entered all the same, so that its listing is
    // what fails, as on Windows.
    int unlisted = 0;
    if (fd < 0 && errno == EACCES && faccessat(parent->fd, name, X_OK, AT_EACCESS) == 0) {
        unlisted = EACCES;
        fd = openat(parent->fd, name, O_PATH | kFlags);
    }
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return Refuse(fd, errno);
    // On its parent's volume it must be the folder the listing saw: another one renamed into its
    // place is not entered. On another volume it is a mount point, since no link was followed.
    if (info.st_dev == parent->id.volume) {
        if (!FsSameFile(IdOf(info), expected))
            return Refuse(fd, kChangedError);
    } else if (const int kernel = KernelFileSystemError(fd)) {
        return Refuse(fd, kernel);
    }
    return WrapOpenFolder(fd, info, path, unlisted, dir, id);
}

bool FsCopyDirectory(FsDir dir, FsDir* copy)
{
    const int fd = fcntl(dir->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return false;
    char* path = strdup(dir->path);
    auto* state = static_cast<FsDirState*>(std::malloc(sizeof(FsDirState)));
    if (path == nullptr || state == nullptr) {
        close(fd);
        std::free(path);
        std::free(state);
        errno = ENOMEM;
        return false;
    }
    // The copy shares the original's place in its listing: it is never listed itself.
    *state = FsDirState{fd, path, dir->id, dir->unlisted, true};
    *copy = state;
    return true;
}

bool FsServedInTurn(FsDir dir)
{
    constexpr unsigned long kFuse = 0x65735546;  // FUSE_SUPER_MAGIC
    struct statfs info;
    return fstatfs(dir->fd, &info) == 0 && static_cast<unsigned long>(info.f_type) == kFuse;
}

size_t FsHandleLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    return limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(limit.rlim_cur);
}

void FsCloseDirectory(FsDir dir)
{
    close(dir->fd);
    std::free(dir->path);
    std::free(dir);
}

#ifdef QF_TEST_SEAMS
void SeamPauseBeforeRemoval(FsDir folder, const char* name)
{
    SeamPauseBeforeRemoval(folder->path, name);
}
#endif

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
    state->numbers = NumbersMadeUp(dir->fd) ? FsListingState::Numbers::Differ : FsListingState::Numbers::Unknown;
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
    // folder it covers, which FsOpenSubdirectory takes as a mount point by its other volume.
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
    std::string joined;
    if (path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return false;
        joined = std::string(cwd) + "/";
    }
    joined += path;
    size_t used = 0;
    for (const char* part = joined.c_str(); *part != '\0';) {
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
    if (fd < 0 && errno == ELOOP) {
        if (const uint32_t tag = UnreadableReparse(dir->fd, entry.name))
            errno = tag == 0x80000017 ? kCompressedError : kReparseError;
        else
            errno = ELOOP;
    }
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
    if (!FsOpenDirectory(parent, &dir, &id))
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

void FsReadAhead(const FsFile& file, uint64_t offset, uint32_t count)
{
    posix_fadvise(static_cast<int>(file.handle), static_cast<off_t>(offset), count, POSIX_FADV_WILLNEED);
}

bool FsFileIdOf(const FsFile& file, FsFileId* id)
{
    struct stat info;
    if (fstat(static_cast<int>(file.handle), &info) != 0)
        return false;
    *id = IdOf(info);
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

namespace {

// cachestat(2) (Linux 6.5 on), which the C library does not wrap yet: the same number on every
// architecture.
constexpr long kCachestat = 451;
struct CacheRange {
    uint64_t offset, length;
};
struct CacheCounts {
    uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
};
std::atomic<bool> noCachestat{false};  // an older kernel, or a sandbox that refuses the call

// Before cachestat: the first page mapped (never touched) and asked of mincore(2).
bool FirstPageMapped(int fd)
{
    const long page = sysconf(_SC_PAGESIZE);
    void* map = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return false;
    unsigned char resident = 0;
    const bool cached = mincore(map, static_cast<size_t>(page), &resident) == 0 && (resident & 1) != 0;
    munmap(map, static_cast<size_t>(page));
    return cached;
}

bool FirstPageCached(int fd)
{
    if (noCachestat.load(std::memory_order_relaxed))
        return FirstPageMapped(fd);
    CacheRange range{0, 4096};
    CacheCounts counts{};
    if (syscall(kCachestat, fd, &range, &counts, 0) == 0)
        return counts.cached > 0;
    if (errno != ENOSYS && errno != EPERM)
        return false;
    noCachestat.store(true, std::memory_order_relaxed);
    return FirstPageMapped(fd);
}

}  // namespace

FsPlace FsDataPlace(const FsFile& file, bool askCache, uint64_t* place)
{
    const int fd = static_cast<int>(file.handle);
    const SeamDisk seam = SeamDiskState();
    struct stat info;
    if (seam == SeamDisk::Cold && fstat(fd, &info) == 0) {
        *place = UINT64_MAX - static_cast<uint64_t>(info.st_ino);
        return FsPlace::Known;
    }
    if (askCache && (seam == SeamDisk::Warm || FirstPageCached(fd)))
        return FsPlace::Cached;
    // The first extent is enough. No FIEMAP_FLAG_SYNC: asking must not write anything.
    alignas(struct fiemap) unsigned char buffer[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
    auto* map = reinterpret_cast<struct fiemap*>(buffer);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = 1;
    if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
        // Data kept in the inode (or not yet given blocks) is read with the inode, in its order.
        const struct fiemap_extent& first = map->fm_extents[0];
        if (map->fm_mapped_extents == 0 || (first.fe_flags & (FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DATA_INLINE)) != 0)
            return FsPlace::Unknown;
        *place = first.fe_physical;
        return FsPlace::Known;
    }
    // FUSE over a block device (ntfs-3g) answers FIBMAP alone, in blocks: one volume, one unit.
    int block = 0;
    if (ioctl(fd, FIBMAP, &block) == 0 && block > 0) {
        *place = static_cast<uint64_t>(block);
        return FsPlace::Known;
    }
    return FsPlace::Unknown;
}

namespace {

// Renames from to to in folder without replacing a file; where the file system cannot promise
// that, plainly (to is a fresh random name, or from's own name given back).
bool RenameKeeping(int folder, const char* from, const char* to)
{
    if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return true;
    return (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) && renameat(folder, from, folder, to) == 0;
}

}  // namespace

// From the moment the name is taken a file put at its name meanwhile is never touched.
bool FsTakeName(int folder, const char* name, const struct stat& tested, char* taken, size_t capacity)
{
    for (int attempt = 0;; ++attempt) {
        unsigned long long random = 0;
        if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            random ^= (static_cast<unsigned long long>(getpid()) << 32) ^ static_cast<unsigned long long>(attempt);
        std::snprintf(taken, capacity, ".qfscan-%016llx.removing", random);
        if (RenameKeeping(folder, name, taken))
            break;
        if (errno != EEXIST || attempt == 8)
            return false;
    }
    if (SameFile(folder, taken, tested))
        return true;
    RenameKeeping(folder, taken, name);  // another file: its name back (when still free)
    errno = kChangedError;
    return false;
}

void FsGiveNameBack(int folder, const char* taken, const char* name)
{
    const int error = errno;
    RenameKeeping(folder, taken, name);
    errno = error;
}

int FsDirDescriptor(FsDir dir)
{
    return dir->fd;
}

FsDisposal FsDispose(FsFile* file, const char* moveFolder, bool, char* target, size_t capacity, const char* moveName)
{
    FsDisposal result{FsOutcome::NotDone, 0};
    const int fd = static_cast<int>(file->handle);
    const int folder = file->dir->fd;
    struct stat tested;
    char taken[64];
    if (fstat(fd, &tested) != 0) {
        result.error = errno;
        FsClose(file);
        errno = result.error;
        return result;
    }
    SeamPauseBeforeRemoval(file->dir->path, file->name);
    if (!FsTakeName(folder, file->name, tested, taken, sizeof taken)) {
        result.error = errno;  // the name names another file by now: it is not ours to touch
    } else if (moveFolder != nullptr) {
        const int into = open(moveFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (into >= 0 && MoveOut(file, taken, tested, into, moveName)) {
            fchmodat(into, moveName, tested.st_mode & 0666, 0);  // stored, never to be run from there
            const char* slash = moveFolder[std::strlen(moveFolder) - 1] == '/' ? "" : "/";
            const int used = std::snprintf(target, capacity, "%s%s%s", moveFolder, slash, moveName);
            if (used < 0 || static_cast<size_t>(used) >= capacity)
                std::snprintf(target, capacity, "%s", moveName);
            result.outcome = FsOutcome::Moved;
        } else {
            result.error = errno;
            FsGiveNameBack(folder, taken, file->name);
        }
        if (into >= 0)
            close(into);
    } else {
        // The read-only attribute of a mounted Windows volume shows as a missing write permission,
        // and such a volume refuses to delete the file until it is lifted.
        const bool lifted = (tested.st_mode & S_IWUSR) == 0 && fchmod(fd, (tested.st_mode & 07777) | S_IWUSR) == 0;
        if (unlinkat(folder, taken, 0) == 0) {
            result.outcome = FsOutcome::Deleted;
        } else {
            result.error = errno;
            FsGiveNameBack(folder, taken, file->name);
            if (lifted)
                fchmod(fd, tested.st_mode & 07777);
        }
    }
    FsClose(file);
    errno = result.error;
    return result;
}

bool FsRenameNew(int fromFolder, const char* from, int toFolder, const char* to, bool* linked)
{
    *linked = false;
    if (renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    *linked = linkat(fromFolder, from, toFolder, to, 0) == 0;
    return *linked;
}

bool FsCopyBytes(int in, int out)
{
    // A buffer per copy, not per thread: static thread-local storage is set up, page by page, for
    // every thread that starts, copying or not.
    constexpr size_t kBlock = 65536;
    std::unique_ptr<char[]> block(new (std::nothrow) char[kBlock]);
    if (block == nullptr) {
        errno = ENOMEM;
        return false;
    }
    for (off_t at = 0;;) {
        const ssize_t got = pread(in, block.get(), kBlock, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(out, block.get() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR)
                return false;
            done += put > 0 ? put : 0;
        }
        at += got;
    }
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

bool FsPutInPlaceAt(int folder, const char* fresh, const char* target, bool replace)
{
    const int fd = openat(folder, fresh, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    bool linked = false;
    const bool done = fd >= 0 && fsync(fd) == 0 && fsync(folder) == 0 &&
                      (replace ? renameat(folder, fresh, folder, target) == 0
                               : FsRenameNew(folder, fresh, folder, target, &linked));
    const int error = errno;
    if (fd >= 0)
        close(fd);
    if (!done || linked)
        unlinkat(folder, fresh, 0);
    if (done)
        fsync(folder);
    errno = error;
    return done;
}

bool FsPutInPlace(const char* fresh, const char* target, bool replace)
{
    const char* freshName = std::strrchr(fresh, '/');
    const char* targetName = std::strrchr(target, '/');
    if (freshName == nullptr || targetName == nullptr) {
        errno = EINVAL;
        return false;
    }
    const std::string folderPath(target, targetName == target ? 1 : static_cast<size_t>(targetName - target));
    const int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        const int error = errno;
        unlink(fresh);
        errno = error;
        return false;
    }
    const bool done = FsPutInPlaceAt(folder, freshName + 1, targetName + 1, replace);
    const int error = errno;
    close(folder);
    errno = error;
    return done;
}

int FsLastError()
{
    return errno;
}

int FsChangedError()
{
    return kChangedError;
}

int FsReplacedError()
{
    return kReplacedError;
}

bool FsPassedOver(int error)
{
    return error >= kKernelError &&
           error < kKernelError + static_cast<int>(sizeof kKernelFileSystems / sizeof kKernelFileSystems[0]);
}

void FsErrorText(int error, char* out, size_t capacity)
{
    if (capacity == 0)
        return;
    if (error == kChangedError || error == kReplacedError) {
        std::snprintf(out, capacity, "changed since it was %s (another file or a link in its place)",
                      error == kChangedError ? "tested" : "listed");
        return;
    }
    if (error == kCompressedError || error == kReparseError) {
        std::snprintf(out, capacity, "%s", error == kCompressedError
                                               ? "compressed by Windows (CompactOS), which this system's NTFS driver cannot read"
                                               : "its data is behind an NTFS reparse point that this system cannot read");
        return;
    }
    if (FsPassedOver(error)) {
        std::snprintf(out, capacity, "a kernel file system (%s), not scanned", kKernelFileSystems[error - kKernelError].name);
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
