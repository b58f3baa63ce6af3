// The quarantine's needs of the platform over POSIX: SHA-256 through nettle, metadata through
// fstat and the extended attributes (those of a mounted NTFS volume asked for by name).
#include "quarantine/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "fs/file_system_posix.h"
#include "fs/test_seams.h"
#include "text/windows_names.h"

namespace {

bool ReadXattr(int fd, const char* name, std::string* value)
{
    for (;;) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0)
            return false;
        value->resize(static_cast<size_t>(size));
        const ssize_t got = fgetxattr(fd, name, value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

bool Has(const FileMetadata& metadata, const std::string& name)
{
    for (const auto& xattr : metadata.xattrs)
        if (xattr.first == name)
            return true;
    return false;
}

// Buffers are taken per call, not per thread: static thread-local storage is set up for every
// thread that starts, and a scan's threads store nothing unless they find something.
constexpr size_t kBlock = 65536;

std::string Reason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool SameFile(int folder, const char* name, const struct stat& held)
{
    struct stat now;
    return fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
           now.st_ino == held.st_ino;
}

// Renames without replacing; where that takes a second name, the first one is removed.
bool RenameNew(int fromFolder, const char* from, int toFolder, const char* to)
{
    bool linked = false;
    if (!FsRenameNew(fromFolder, from, toFolder, to, &linked))
        return false;
    if (linked)
        unlinkat(fromFolder, from, 0);
    return true;
}

// Opens name of folder, a folder, without following a link; *why, with the path so far, when it
// cannot be.
int OpenFolderStep(int folder, const std::string& name, const std::string& path, std::string* why)
{
    const int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next >= 0)
        return next;
    struct stat info;
    const int error = errno;
    if (error == ENOENT)
        *why = path + " is gone (not made again)";
    else if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        *why = path + " is a link (not followed)";
    else
        *why = path + ": " + std::strerror(error);
    return -1;
}

// Opens the absolute folder path from the root one folder at a time, each relative to the one
// before and never through a link, and asks allowed of each; -1 with *why at the first refused.
template <typename Allowed>
int WalkFolders(const std::string& path, Allowed allowed, std::string* why)
{
    if (path.empty() || path[0] != '/') {
        *why = path + " is no absolute path";
        return -1;
    }
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string walked = "/";
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !allowed(info, walked, false, why)) {
        if (fd < 0)
            *why = Reason("/ cannot be opened");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    for (size_t at = 1; at < path.size();) {
        size_t end = path.find('/', at);
        end = end == std::string::npos ? path.size() : end;
        const std::string name = path.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            close(fd);
            *why = path + " climbs with \"..\"";
            return -1;
        }
        walked += (walked.size() > 1 ? "/" : "") + name;
        const int next = OpenFolderStep(fd, name, walked, why);
        close(fd);
        fd = next;
        if (fd < 0)
            return -1;
        if (fstat(fd, &info) != 0 || !allowed(info, walked, at >= path.size(), why)) {
            if (why->empty())
                *why = Reason(walked.c_str());
            close(fd);
            return -1;
        }
    }
    return fd;
}

std::string Octal(unsigned mode)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// The store's folder and those above it, as ssh's StrictModes takes them: the runner's or root's,
// and writable by nobody else. A folder above that all may write is taken when it is root's and
// sticky (/tmp): nobody else may rename or remove what is in it then.
bool OperatorsFolder(const struct stat& info, const std::string& path, bool store, std::string* why)
{
    const uid_t me = geteuid();
    if (info.st_uid != me && info.st_uid != 0) {
        *why = path + " belongs to user " + std::to_string(info.st_uid) + ", neither to this user (" +
               std::to_string(me) + ") nor to root";
        return false;
    }
    const bool sticky = !store && info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
        *why = path + " may be written by others than its owner (mode " + Octal(info.st_mode) + ")";
        return false;
    }
    return true;
}

// A file of the store: regular, one name, the runner's.
bool StoreFile(const struct stat& info, const std::string& name, std::string* why)
{
    if (S_ISLNK(info.st_mode))
        *why = name + " is a link (not followed)";
    else if (!S_ISREG(info.st_mode))
        *why = name + " is no regular file (a FIFO, device, socket or folder)";
    else if (info.st_nlink != 1)
        *why = name + " has another name (" + std::to_string(info.st_nlink) + " links)";
    else if (info.st_uid != geteuid())
        *why = name + " belongs to user " + std::to_string(info.st_uid) + ", not to this user";
    else
        return true;
    return false;
}

// Gives the open file fd, at its place, the owner, mode and attributes of metadata, then its
// times; set-user-id and set-group-id never come back. *why: what could not be given.
void Settle(int fd, const FileMetadata& metadata, std::string* why)
{
    struct stat now;
    if (fstat(fd, &now) != 0) {
        *why = Reason("its metadata cannot be read");
        return;
    }
    // Only root may give a file away; anyone else gets it back as their own.
    if ((now.st_uid != metadata.uid || now.st_gid != metadata.gid) && geteuid() == 0 &&
        fchown(fd, metadata.uid, metadata.gid) != 0 && why->empty())
        *why = Reason("its owner cannot be set");
    if (fchmod(fd, metadata.mode & 01777) != 0 && why->empty())
        *why = Reason("its mode cannot be set");
    for (const auto& xattr : metadata.xattrs) {
        if (xattr.first == kNtfsTimesAttribute)
            continue;
        if (fsetxattr(fd, xattr.first.c_str(), xattr.second.data(), xattr.second.size(), 0) != 0 && why->empty())
            *why = "its attribute " + xattr.first + " cannot be set: " + std::strerror(errno);
    }
    const timespec times[2] = {{metadata.atimeNs / 1000000000, metadata.atimeNs % 1000000000},
                               {metadata.mtimeNs / 1000000000, metadata.mtimeNs % 1000000000}};
    futimens(fd, times);
    for (const auto& xattr : metadata.xattrs)
        if (xattr.first == kNtfsTimesAttribute)
            fsetxattr(fd, xattr.first.c_str(), xattr.second.data(), xattr.second.size(), 0);
}

// A copy of the open file in under name of folder, made new, never runnable, and the runner's,
// for FsPutInPlaceAt to flush and name; *out keeps it open. False, no copy left, with errno.
bool CopyInto(int in, int folder, const char* name, int* out)
{
    *out = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (*out < 0)
        return false;
    if (FsCopyBytes(in, *out))
        return true;
    const int error = errno;
    close(*out);
    unlinkat(folder, name, 0);
    errno = error;
    return false;
}

}  // namespace

struct StoreState {
    std::string path;
    int fd;         // the folder, held for the run
    int index;      // index.jsonl, once opened; -1 before
};

namespace {

// Takes the file into the store on one file system: made unrunnable where it is (so that it
// never is in the store), renamed in under its part name, tested there (another file given back
// its name), then named. errno EXDEV: another file system, nothing done.
bool RenameIn(Store store, FsFile* file, const struct stat& tested, const std::string& name)
{
    const int folder = FsDirDescriptor(file->dir);
    const int fd = static_cast<int>(file->handle);
    const std::string part = StorePartName(name);
    if (fchmod(fd, tested.st_mode & 0666) != 0)
        return false;
    bool linked = false;
    if (!FsRenameNew(folder, file->name, store->fd, part.c_str(), &linked)) {
        const int error = errno;
        fchmod(fd, tested.st_mode & 07777);
        errno = error;
        return false;
    }
    char taken[64];
    bool done = SameFile(store->fd, part.c_str(), tested) || (errno = FsChangedError(), false);
    // Where the file system gave a second name, the first goes while it is still the file tested.
    if (done && linked)
        done = FsTakeName(folder, file->name, tested, taken, sizeof taken) &&
               (unlinkat(folder, taken, 0) == 0 || (FsGiveNameBack(folder, taken, file->name), false));
    done = done && RenameNew(store->fd, part.c_str(), store->fd, name.c_str());
    if (!done) {
        const int error = errno;
        linked ? unlinkat(store->fd, part.c_str(), 0) : RenameNew(store->fd, part.c_str(), folder, file->name);
        fchmod(fd, tested.st_mode & 07777);  // when it is the file tested, its mode back where it was
        errno = error;
        return false;
    }
    fsync(store->fd);
    fsync(folder);
    return true;
}

// Across file systems, or a file not the runner's: a flushed copy named in the store first, and
// only then the original taken from its folder, when it still is the file tested.
bool CopyIn(Store store, FsFile* file, const struct stat& tested, const std::string& name)
{
    const int folder = FsDirDescriptor(file->dir);
    const std::string part = StorePartName(name);
    int out = -1;
    if (!CopyInto(static_cast<int>(file->handle), store->fd, part.c_str(), &out))
        return false;
    close(out);
    // The copy's name on its disk before the original leaves the other.
    if (!FsPutInPlaceAt(store->fd, part.c_str(), name.c_str(), false))
        return false;
    char taken[64];
    if (FsTakeName(folder, file->name, tested, taken, sizeof taken)) {
        if (unlinkat(folder, taken, 0) == 0) {
            fsync(folder);
            return true;
        }
        FsGiveNameBack(folder, taken, file->name);
    }
    const int error = errno;
    unlinkat(store->fd, name.c_str(), 0);  // never leave two
    errno = error;
    return false;
}

}  // namespace

bool StoreDigest(const FsFile& file, uint8_t digest[32], uint64_t* size)
{
    sha256_ctx context;
    sha256_init(&context);
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kBlock]);
    if (block == nullptr) {
        errno = ENOMEM;
        return false;
    }
    uint64_t at = 0;
    for (uint32_t got = 0;; at += got) {
        if (!FsReadUpTo(file, at, block.get(), kBlock, &got))
            return false;
        if (got == 0)
            break;
        sha256_update(&context, got, block.get());
    }
    sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
    *size = at;
    return true;
}

bool StoreReadMetadata(const FsFile& file, FileMetadata* metadata)
{
    const int fd = static_cast<int>(file.handle);
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    metadata->hasMode = true;
    metadata->mode = info.st_mode & 07777;
    metadata->uid = info.st_uid;
    metadata->gid = info.st_gid;
    metadata->atimeNs = static_cast<int64_t>(info.st_atim.tv_sec) * 1000000000 + info.st_atim.tv_nsec;
    metadata->mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    std::string names(65536, '\0');
    const ssize_t listed = flistxattr(fd, names.data(), names.size());
    std::string value;
    for (size_t at = 0; listed > 0 && at < static_cast<size_t>(listed); at += std::strlen(names.c_str() + at) + 1) {
        if (!ReadXattr(fd, names.c_str() + at, &value))
            return false;
        metadata->xattrs.emplace_back(names.c_str() + at, value);
    }
    // What the NTFS drivers show of a file and list under no name: its security descriptor, its
    // DOS attributes (the first of their names that reads) and ntfs-3g's four times, which go
    // last since every other change moves them.
    for (const char* name : kNtfsDescriptorAttributes)
        if (!Has(*metadata, name) && ReadXattr(fd, name, &value))
            metadata->xattrs.emplace_back(name, value);
    for (const char* name : kNtfsDosAttributes) {
        if (Has(*metadata, name) || !ReadXattr(fd, name, &value))
            continue;
        metadata->xattrs.emplace_back(name, value);
        break;
    }
    if (!Has(*metadata, kNtfsTimesAttribute) && ReadXattr(fd, kNtfsTimesAttribute, &value))
        metadata->xattrs.emplace_back(kNtfsTimesAttribute, value);
    return true;
}

bool StoreOpen(const std::string& folder, Store* store, std::string* why)
{
    why->clear();
    const int fd = WalkFolders(
        folder,
        [](const struct stat& info, const std::string& path, bool last, std::string* reason) {
            return OperatorsFolder(info, path, last, reason);
        },
        why);
    if (fd < 0)
        return false;
    *store = new StoreState{folder, fd, -1};
    return true;
}

void StoreClose(Store store)
{
    if (store->index >= 0)
        close(store->index);
    close(store->fd);
    delete store;
}

const std::string& StorePath(Store store)
{
    return store->path;
}

bool StoreEmpty(Store store)
{
    const int fd = openat(store->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    bool empty = true;
    for (dirent* item; empty && (item = readdir(dir)) != nullptr;)
        empty = std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0;
    closedir(dir);
    return empty;
}

bool StoreNames(Store store, std::vector<std::string>* names)
{
    names->clear();
    const int fd = openat(store->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    for (dirent* item; (item = readdir(dir)) != nullptr;)
        names->push_back(item->d_name);
    closedir(dir);
    return true;
}

bool StoreOpenIndex(Store store, bool create, bool* missing, std::string* why)
{
    *missing = false;
    if (store->index >= 0)
        return true;
    struct stat info;
    int fd = -1;
    if (fstatat(store->fd, kQuarantineIndex, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        *missing = errno == ENOENT;
        if (!*missing || !create) {
            *why = *missing ? std::string("no ") + kQuarantineIndex : Reason(kQuarantineIndex);
            return false;
        }
        fd = openat(store->fd, kQuarantineIndex, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)  // another run into the new folder made it first: it is found
            return StoreOpenIndex(store, false, missing, why);
        if (fd < 0) {
            *why = Reason((std::string(kQuarantineIndex) + " cannot be made").c_str());
            return false;
        }
        fsync(store->fd);
    } else if (!StoreFile(info, kQuarantineIndex, why)) {
        return false;  // a link, FIFO or device is refused before it is opened
    } else {
        fd = openat(store->fd, kQuarantineIndex, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (fd < 0 || fstat(fd, &info) != 0 || !StoreFile(info, kQuarantineIndex, why)) {
        if (fd < 0)
            *why = Reason((std::string(kQuarantineIndex) + " cannot be opened").c_str());
        if (fd >= 0)
            close(fd);
        return false;
    }
    store->index = fd;
    return true;
}

bool StoreLock(Store store)
{
    int done;
    while ((done = flock(store->index, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return done == 0;
}

void StoreUnlock(Store store)
{
    flock(store->index, LOCK_UN);
}

bool StoreReadIndex(Store store, uint64_t from, std::string* text, std::string* why)
{
    text->clear();
    struct stat info;
    if (fstat(store->index, &info) != 0) {
        *why = Reason(kQuarantineIndex);
        return false;
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (size > kStoreIndexCap) {
        *why = std::string(kQuarantineIndex) + " holds " + std::to_string(size) + " bytes, more than any run writes";
        return false;
    }
    if (from >= size)
        return true;
    text->resize(size - from);
    for (uint64_t done = 0; done < text->size();) {
        const ssize_t got = pread(store->index, &(*text)[done], text->size() - done, static_cast<off_t>(from + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            text->resize(done);  // cut short meanwhile: what there is
            if (got < 0) {
                *why = Reason((std::string(kQuarantineIndex) + " cannot be read").c_str());
                return false;
            }
            break;
        }
        done += static_cast<uint64_t>(got);
    }
    return true;
}

bool StoreAppend(Store store, const std::string& line)
{
    struct stat info;
    char last = '\n';
    if (fstat(store->index, &info) != 0 ||
        (info.st_size > 0 && pread(store->index, &last, 1, info.st_size - 1) != 1))
        return false;
    const std::string text = (last == '\n' ? "" : "\n") + line + "\n";
    const ssize_t put = write(store->index, text.data(), text.size());
    if (put >= 0 && put != static_cast<ssize_t>(text.size()))
        errno = ENOSPC;
    return put == static_cast<ssize_t>(text.size()) && fsync(store->index) == 0;
}

bool StoreHolds(Store store, const std::string& name)
{
    struct stat info;
    std::string why;
    return fstatat(store->fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && StoreFile(info, name, &why);
}

bool StoreOpenStored(Store store, const std::string& name, FsFile* file)
{
    *file = FsFile{-1, nullptr, nullptr, false};
    const int fd = openat(store->fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info;
    std::string why;
    if (fd < 0 || fstat(fd, &info) != 0 || !StoreFile(info, name, &why)) {
        if (fd >= 0)
            close(fd);
        errno = fd < 0 ? errno : EPERM;
        return false;
    }
    file->handle = fd;
    return true;
}

std::string StorePartName(const std::string& name)
{
    return name + ".part";
}

bool StoreNameUsed(Store store, const std::string& name)
{
    struct stat info;
    return fstatat(store->fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool StoreFinishPart(Store store, const std::string& name)
{
    FsFile part;
    if (!StoreOpenStored(store, StorePartName(name), &part))
        return false;
    const bool done = fchmod(static_cast<int>(part.handle), 0600) == 0 &&
                      RenameNew(store->fd, StorePartName(name).c_str(), store->fd, name.c_str());
    FsClose(&part);
    fsync(store->fd);
    return done;
}

FsDisposal StoreTake(Store store, FsFile* file, const std::string& name, char* target, size_t capacity)
{
    FsDisposal result{FsOutcome::NotDone, 0};
    struct stat tested;
    if (fstat(static_cast<int>(file->handle), &tested) != 0) {
        result.error = errno;
        FsClose(file);
        errno = result.error;
        return result;
    }
    SeamPauseBeforeRemoval(file->dir, file->name);
    // A file of another user renamed in would stay theirs: it is copied, and the copy is the runner's.
    bool done = tested.st_uid == geteuid() && RenameIn(store, file, tested, name);
    if (!done && (tested.st_uid != geteuid() || errno == EXDEV))
        done = CopyIn(store, file, tested, name);
    if (done) {
        result.outcome = FsOutcome::Moved;
        const int used = std::snprintf(target, capacity, "%s%s%s", store->path.c_str(),
                                       store->path.back() == '/' ? "" : "/", name.c_str());
        if (used < 0 || static_cast<size_t>(used) >= capacity)
            std::snprintf(target, capacity, "%s", name.c_str());
    } else {
        result.error = errno;
    }
    FsClose(file);
    errno = result.error;
    return result;
}

bool StoreGiveBack(Store store, const FsFile& stored, const std::string& name, const std::string& path,
                   const FileMetadata& metadata, std::string* why)
{
    why->clear();
    const size_t slash = path.rfind('/');
    const std::string leaf = slash == std::string::npos ? "" : path.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") {
        *why = "no file path";
        return false;
    }
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    // The way back: from the root, a folder at a time, each root's or the file owner's (as
    // systemd's chase() takes a path in its safe mode). A volume that keeps no owners (FAT, NTFS
    // mounted without a user map) shows root's folders writable by all: taken as they are.
    const int folder = WalkFolders(
        parent,
        [&metadata](const struct stat& info, const std::string& at, bool, std::string* reason) {
            if (info.st_uid != 0 && info.st_uid != metadata.uid) {
                *reason = at + " belongs to user " + std::to_string(info.st_uid) + ", neither to root nor to the file's owner (" +
                          std::to_string(metadata.uid) + ")";
                return false;
            }
            return true;
        },
        why);
    if (folder < 0)
        return false;
    const int in = static_cast<int>(stored.handle);
    struct stat held, folderInfo, there;
    bool done = false;
    if (fstat(in, &held) != 0 || !SameFile(store->fd, name.c_str(), held))
        *why = name + " changed since it was hashed (another file has its name)";
    else if (fstat(folder, &folderInfo) != 0)
        *why = Reason("its folder cannot be read");
    else if (fstatat(folder, leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0)
        *why = "a file is in its place (not replaced)";
    else
        done = true;
    if (!done) {
        close(folder);
        return false;
    }
    SeamPauseBeforeRemoval(parent.c_str(), leaf.c_str());
    // One file system: one rename, then the metadata on the file in its place (never runnable
    // while stored). A bind mount of the same one refuses the rename: a copy then.
    done = held.st_dev == folderInfo.st_dev && RenameNew(store->fd, name.c_str(), folder, leaf.c_str());
    if (done) {
        Settle(in, metadata, why);
    } else if (errno == EEXIST) {
        *why = "a file is in its place (not replaced)";
    } else if (held.st_dev != folderInfo.st_dev || errno == EXDEV) {
        // A copy under a name of the folder's own, flushed, then renamed into place, so that no
        // half-copy ever holds the name; one an interrupted restore left goes first.
        const std::string temporary = ".qfscan-" + name + ".part";
        unlinkat(folder, temporary.c_str(), 0);
        int out = -1;
        done = CopyInto(in, folder, temporary.c_str(), &out);
        if (!done) {
            *why = Reason("no copy can be made in its folder");
        } else if (!FsPutInPlaceAt(folder, temporary.c_str(), leaf.c_str(), false)) {
            *why = errno == EEXIST ? "a file is in its place (not replaced)" : Reason("the copy cannot be renamed");
            done = false;
        } else {
            Settle(out, metadata, why);
            fsync(out);
            fsync(folder);  // the copy's name and metadata on its disk before the stored file goes
            if (unlinkat(store->fd, name.c_str(), 0) != 0 && why->empty())
                *why = Reason("the stored file cannot be removed");
        }
        if (out >= 0)
            close(out);
    } else {
        *why = Reason("it cannot be renamed back");
    }
    if (done) {
        fsync(folder);
        fsync(store->fd);
    }
    close(folder);
    return done;
}
