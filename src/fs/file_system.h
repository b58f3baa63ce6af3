// The file-system layer: the few file operations that the portable scan, detection, cleanup and
// console code need; that code reaches files only through it. Platform code that needs more
// calls the platform's file API itself: the quarantine's store (locks, owners, security
// descriptors), the console's log and terminal, and the offline repair and the rescue (hives,
// volumes, devices; Linux only).
//
// Two implementations of these free procedures exist, one over the Win32 API
// (file_system_win32.cpp, listing_win32.cpp, disposal_win32.cpp and native_win32.cpp) and one over
// POSIX (file_system_posix.cpp); the build links exactly one.
//
// Paths and names are UTF-8 text in the platform's syntax, with kFsSeparator between parts. On
// Windows they are WTF-8: a UTF-16 unit that pairs with nothing (NTFS allows it in a name) is
// written as the three-byte form of its code point, so every name Windows can list comes back
// unchanged (text/unicode.h). The Win32 layer speaks UTF-16 to the platform, always with \\?\ absolute
// paths, so no 260-character limit, DOS device name or trailing dot applies below the root. Paths
// handed to the layer are absolute: FsFullPath makes them so. Nothing here uses the process's
// current directory.
//
// A file is acted on only through what was opened: FsOpenChild and FsOpenFile open it for the
// test without following a link, the test reads through that handle, and FsDispose deletes or
// moves that same file, or leaves it, saying why. A call that fails leaves its reason for
// FsLastError().
//
// Scratch buffers: the Windows implementation converts names and paths to UTF-16 and copies a
// moved file's bytes in thread_local buffers (made at a thread's first use), so calls need no locks
// and walks on several threads never share one; a buffer's contents last only until the same
// thread's next call, and nothing here hands out a pointer into one. The POSIX one takes its copy
// buffer per call: static thread-local storage there is set up for every thread at its start.
// Everything else a call gives belongs to its caller.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
constexpr char kFsSeparator = '\\';
#else
constexpr char kFsSeparator = '/';
#endif
// Any path the layer takes or gives, in UTF-8 bytes with the NUL. Windows takes 32,767 UTF-16
// units in one path; a longer UTF-8 text is reported as too long, never cut.
constexpr size_t kFsPathCapacity = 32768;
// One name of a listing: 255 UTF-16 units take at most 765 bytes of UTF-8.
constexpr size_t kFsNameCapacity = 768;

// What identifies a file or folder on its volume, whatever its name.
struct FsFileId {
    uint64_t volume;
    uint64_t file;
};

inline bool FsSameFile(const FsFileId& a, const FsFileId& b)
{
    return a.volume == b.volume && a.file == b.file;
}

// One entry of a directory listing.
struct FsEntry {
    char name[kFsNameCapacity];
    bool isDirectory;
    bool isLink;     // a symbolic link or junction (of a folder when isDirectory): never followed
    bool followReparse;  // Windows: a reparse point that stands for its own data (deduplicated,
                         // offline, cloud files), opened through its filter
    uint64_t index;      // its index (inode number) on the volume as the listing gave it (0: not given)
    bool isSpecial;  // a FIFO, socket or device: a file that is never opened
};

struct FsDirState;  // opaque: the open folder (descriptor or handle) and its path
using FsDir = FsDirState*;

// Opens the folder at path for listing: the scan root, the one folder reached by a path (links on
// the way followed, as the user named it). On Linux a kernel file system (/proc, /sys, ...) is
// refused with an error FsPassedOver() tells. *id gets what it is.
bool FsOpenDirectory(const char* path, FsDir* dir, FsFileId* id);
// Opens the folder name of parent, one name relative to the parent's handle and never through a
// link, so that no folder on the way can be swapped for a link meanwhile. It must be what
// expected says (what the parent's listing saw): another folder renamed into its place fails with
// the layer's "changed" error. A folder on another volume is entered only as a mount point; on
// Linux a mount of a kernel file system fails with an error FsPassedOver() tells. path is its
// whole path, kept for messages.
bool FsOpenSubdirectory(FsDir parent, const char* name, const FsFileId& expected, const char* path, FsDir* dir,
                        FsFileId* id);
void FsCloseDirectory(FsDir dir);
// A second handle on the open folder dir, to open and dispose of its files by (never to list).
bool FsCopyDirectory(FsDir dir, FsDir* copy);
// How many files and folders the process may hold open at once.
size_t FsHandleLimit();
// Whether the volume of dir serves one request at a time, whatever the threads that ask: a FUSE
// mount (ntfs-3g) runs one daemon thread, so reads side by side only interleave.
bool FsServedInTurn(FsDir dir);

struct FsListingState;  // opaque: the platform's search handle or directory stream
using FsListing = FsListingState*;

enum class FsListStart {
    Listed,  // *entry holds the first entry; *listing must be closed
    Empty,   // the directory has no entries at all
    Failed,  // the directory cannot be listed
};

// Lists dir in the platform's order, "." and ".." included where the platform gives them.
FsListStart FsListFirst(FsDir dir, FsListing* listing, FsEntry* entry);
bool FsListNext(FsListing listing, FsEntry* entry);
void FsListClose(FsListing listing);
// What the entry just listed is on its volume (for a folder about to be queued).
bool FsEntryId(FsDir dir, const FsEntry& entry, FsFileId* id);

// The absolute, tidied form of path (against the current directory) in out; false when it does
// not fit.
bool FsFullPath(const char* path, char* out, size_t capacity);
bool FsIsDirectory(const char* path);
bool FsIsFile(const char* path);  // an existing file that is no folder (links followed)
// Makes path the process's current directory. Only the window does, as its cursor through the
// scan; nothing relies on it. On Windows a path past MAX_PATH - 2 characters (MAX_PATH - 1 with a
// trailing backslash) is refused, as Windows refuses it to a program that is not long-path aware.
bool FsSetCurrentDirectory(const char* path);

// An open file, for the test and for its disposal. On Windows nobody can write it while it is
// open, and opening fails when somebody already does.
struct FsFile {
    intptr_t handle;
    FsDir dir;         // the folder it was opened in (owned when opened by FsOpenFile)
    const char* name;  // its name in dir; the caller keeps the text until FsClose
    bool ownsDir;
};
// Opens the listed file entry of dir; entry stays unchanged until FsClose.
bool FsOpenChild(FsDir dir, const FsEntry& entry, FsFile* file);
bool FsOpenFile(const char* path, FsFile* file);  // absolute path; links on the way are followed
bool FsFileSize(const FsFile& file, uint64_t* size);
bool FsFileIdOf(const FsFile& file, FsFileId* id);  // what the open file is on its volume
// Reads up to count bytes at offset into buffer, fewer only at the end of the file.
bool FsReadUpTo(const FsFile& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got);
void FsClose(FsFile* file);
// Asks for count bytes at offset to be read into memory, without waiting for them (a hint).
void FsReadAhead(const FsFile& file, uint64_t offset, uint32_t count);

// Where the open file's data lies on its disk, for a scan that reads files in the disk's order.
enum class FsPlace {
    Unknown,  // not said: no such call here (Windows, tmpfs), or the data has no place of its own
    Cached,   // askCache was set and the file's first page is in memory: its place does not matter
    Known,    // *place orders it among the files of its volume by where its data begins
};
// askCache asks the page cache first (cachestat on Linux 6.5 and later, mincore before). Through
// a FUSE mount (ntfs-3g) the place is known only to a process that may read the raw device.
FsPlace FsDataPlace(const FsFile& file, bool askCache, uint64_t* place);

// What became of an infected file.
enum class FsOutcome {
    Deleted,
    Moved,           // *target holds where it went
    DeleteAtRestart, // in use: Windows deletes it when it next starts
    NotDone,         // failed, the file as it was (attributes or mode put back); error says why
};

struct FsDisposal {
    FsOutcome outcome;
    int error;  // with NotDone
};

// The one procedure that deletes an infected file, or moves it into moveFolder (absolute; null
// to delete) as moveName (the quarantine's name for it), never replacing a file: the name is free
// or nothing is moved, and where the platform has one, the stored file has no execute permission.
// It acts on the file that file holds open: when its name names another file by now, nothing is
// done. Windows acts through a handle; Linux, which cannot delete through one, first renames the
// name to a private one of the same folder and acts on that only when it is the file tested.
// Read-only, hidden and system are lifted for the delete and put back when it fails. A file in use
// is scheduled for deletion at the next restart when atRestart is set (Windows). file is closed on
// return.
FsDisposal FsDispose(FsFile* file, const char* moveFolder, bool atRestart, char* target, size_t capacity,
                     const char* moveName = nullptr);

#ifndef _WIN32
// Copies a file to a new file target, flushed to the disk; never replaces a file already there
// (then it fails with FsTargetExists() true). The offline repair's hive backups (Linux).
bool FsCopyToNewFile(const char* path, const char* target);
#endif
// The last failed call found a file where it would have made or put one.
bool FsTargetExists();

// The one way a file is written new in place of another, or of none: the caller writes fresh, a
// new file of target's folder, whole; this flushes it to the disk and renames it to target (over a
// file there only when replace; otherwise never replacing one, failing with FsTargetExists()
// true), the rename flushed too. So a crash at any moment leaves target as it was or as fresh
// holds it, never a part. False with the reason for FsLastError(); fresh is removed then.
bool FsPutInPlace(const char* fresh, const char* target, bool replace);

// The reason the last failed call gave (errno or the Win32 error), and its text.
int FsLastError();
void FsErrorText(int error, char* out, size_t capacity);
// The error FsOpenSubdirectory and FsDispose give when a name no longer names what was tested.
int FsChangedError();
// The error of a scan in the disk's order for a file whose name names another file than the one
// listed, when its turn to be tested came.
int FsReplacedError();
// Whether error is a folder of a kernel file system, which is never scanned (Linux).
bool FsPassedOver(int error);
