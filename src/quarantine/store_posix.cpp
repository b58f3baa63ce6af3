// The quarantine's needs of the platform over POSIX: SHA-256 through nettle, metadata through
// fstat and the extended attributes (those of a mounted NTFS volume asked for by name).
#include "quarantine/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <nettle/sha2.h>
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

namespace {

// What the NTFS drivers show of a file and list under no name: its security descriptor, its DOS
// attributes (the first of three names for the same bits that reads) and ntfs-3g's four times,
// which go last since every other change moves them.
const char* const kNtfsNames[] = {"system.ntfs_acl", "system.ntfs_security", "system.ntfs_attrib_be",
                                  "system.ntfs_attrib", "system.dos_attrib", "system.ntfs_times"};
const char kNtfsTimes[] = "system.ntfs_times";

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

// Gives the open file fd the owner, mode and attributes of metadata: what a rename keeps, so it
// is done before the file takes its name.
bool ApplyEarly(int fd, const FileMetadata& metadata, std::string* why)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return false;
    // Only root may give a file away; anyone else gets it back as their own.
    if ((now.st_uid != metadata.uid || now.st_gid != metadata.gid) && geteuid() == 0 &&
        fchown(fd, metadata.uid, metadata.gid) != 0) {
        *why = "its owner cannot be set: " + std::string(std::strerror(errno));
        return false;
    }
    if ((now.st_mode & 07777) != metadata.mode && fchmod(fd, metadata.mode) != 0) {
        *why = "its mode cannot be set: " + std::string(std::strerror(errno));
        return false;
    }
    for (const auto& xattr : metadata.xattrs) {
        if (xattr.first == kNtfsTimes)
            continue;
        if (fsetxattr(fd, xattr.first.c_str(), xattr.second.data(), xattr.second.size(), 0) != 0) {
            *why = "its attribute " + xattr.first + " cannot be set: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// The times, once the file has its name and its bytes.
void ApplyTimes(int fd, const FileMetadata& metadata)
{
    const timespec times[2] = {{metadata.atimeNs / 1000000000, metadata.atimeNs % 1000000000},
                               {metadata.mtimeNs / 1000000000, metadata.mtimeNs % 1000000000}};
    futimens(fd, times);
    for (const auto& xattr : metadata.xattrs)
        if (xattr.first == kNtfsTimes)
            fsetxattr(fd, xattr.first.c_str(), xattr.second.data(), xattr.second.size(), 0);
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

// Buffers are taken per call, not per thread: static thread-local storage is set up for every
// thread that starts, and a scan's threads store nothing unless they find something.
constexpr size_t kBlock = 65536;

std::string Reason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// One volume: one rename, the metadata given first. A file that stays stored stays unrunnable.
bool RenameBack(int in, const std::string& stored, int folder, const std::string& parent, const std::string& name,
                const FileMetadata& metadata, std::string* why)
{
    bool done = ApplyEarly(in, metadata, why);
    if (done)
        SeamPauseBeforeRemoval(parent.c_str(), name.c_str());
    if (done && !RenameNew(AT_FDCWD, stored.c_str(), folder, name.c_str())) {
        *why = errno == EEXIST ? "a file is in its place (not replaced)" : Reason("it cannot be renamed back");
        done = false;
    }
    if (done)
        ApplyTimes(in, metadata);
    else
        fchmod(in, metadata.mode & 0666);
    return done;
}

// Another volume: a copy under a name of the folder's own, flushed, then renamed into place, so
// that no half-copy ever holds the name; then the stored file goes. The name comes from the stored
// one, so that a copy an interrupted restore left is replaced by the next.
bool CopyBack(int in, const std::string& stored, int folder, const std::string& parent, const std::string& name,
              const FileMetadata& metadata, std::string* why)
{
    const std::string temporary = ".qfscan-" + stored.substr(stored.rfind('/') + 1) + ".part";
    unlinkat(folder, temporary.c_str(), 0);
    const int out = openat(folder, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        *why = Reason("no copy can be made in its folder");
        return false;
    }
    bool done = FsCopyBytes(in, out) || (*why = Reason("it cannot be copied back"), false);
    done = done && ApplyEarly(out, metadata, why);
    done = done && (fsync(out) == 0 || (*why = Reason("the copy cannot be flushed"), false));
    if (done)
        SeamPauseBeforeRemoval(parent.c_str(), name.c_str());
    if (done && !RenameNew(folder, temporary.c_str(), folder, name.c_str())) {
        *why = errno == EEXIST ? "a file is in its place (not replaced)" : Reason("the copy cannot be renamed");
        done = false;
    }
    if (done)
        ApplyTimes(out, metadata);
    else
        unlinkat(folder, temporary.c_str(), 0);
    close(out);
    if (done)
        fsync(folder);  // the copy's name on its disk before the stored file goes
    if (done && unlink(stored.c_str()) != 0)
        *why = Reason("restored, but the stored file cannot be removed");
    return done;
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
    bool dosAttributes = false;
    for (const char* name : kNtfsNames) {
        const bool isDos = std::strstr(name, "attrib") != nullptr;
        if ((isDos && dosAttributes) || Has(*metadata, name) || !ReadXattr(fd, name, &value))
            continue;
        dosAttributes |= isDos;
        metadata->xattrs.emplace_back(name, value);
    }
    return true;
}

bool StoreAppend(const std::string& path, const std::string& line)
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    const std::string text = line.empty() ? "" : line + "\n";
    const ssize_t put = text.empty() ? 0 : write(fd, text.data(), text.size());
    bool done = put == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (put >= 0 && put != static_cast<ssize_t>(text.size()))
        errno = ENOSPC;
    const int error = errno;
    done = close(fd) == 0 && done;
    errno = done ? errno : error;
    return done;
}

bool StoreSameFile(const FsFile& file, const std::string& path)
{
    struct stat held, named;
    return fstat(static_cast<int>(file.handle), &held) == 0 && lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool StoreFolderEmpty(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    bool empty = true;
    for (dirent* item; empty && (item = readdir(dir)) != nullptr;)
        empty = std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0;
    closedir(dir);
    return empty;
}

bool StoreReadText(const std::string& path, std::string* text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    text->clear();
    char block[65536];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0 || (got < 0 && errno == EINTR))
        text->append(block, static_cast<size_t>(got > 0 ? got : 0));
    const int error = errno;
    close(fd);
    errno = error;
    return got == 0;
}

bool StoreGiveBack(const std::string& stored, const std::string& path, const FileMetadata& metadata, std::string* why)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        *why = "no file path";
        return false;
    }
    const std::string name = path.substr(slash + 1);
    const std::string parent = path.substr(0, slash);  // "" for the root
    const int in = open(stored.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int folder = open(slash == 0 ? "/" : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat storedInfo, folderInfo, there;
    bool done = false;
    if (in < 0 || fstat(in, &storedInfo) != 0)
        *why = Reason("the stored file cannot be opened");
    else if (folder < 0 || fstat(folder, &folderInfo) != 0)
        *why = Reason("its folder cannot be opened");
    else if (fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0)
        *why = "a file is in its place (not replaced)";
    else if (storedInfo.st_dev == folderInfo.st_dev)
        done = RenameBack(in, stored, folder, parent, name, metadata, why);
    else
        done = CopyBack(in, stored, folder, parent, name, metadata, why);
    if (done)
        fsync(folder);
    if (in >= 0)
        close(in);
    if (folder >= 0)
        close(folder);
    return done;
}

std::string HostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::string UtcTimestamp()
{
    const time_t now = time(nullptr);
    struct tm utc = {};
    char text[32] = {};
    gmtime_r(&now, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
