// The file-system layer: the few file operations that the portable scan, detection and console
// code need, and the only place that calls the platform's file API.
//
// Two implementations of these free procedures exist, one over the Win32 API (file_system_win32.cpp)
// and one over POSIX (file_system_posix.cpp); the build links exactly one. Paths are in the
// platform's own syntax, with kFsSeparator between parts.
//
// Relative names are resolved against the process's current directory, which the walk uses as
// its cursor. A call that fails leaves its reason for FsLastError().
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kPathCapacity = 260;  // the program's fixed path and text buffers, the NUL included

#ifdef _WIN32
constexpr char kFsSeparator = '\\';
constexpr size_t kFsPathCapacity = kPathCapacity;  // what the ANSI calls take
#else
constexpr char kFsSeparator = '/';
// A mounted Windows volume adds its mount point to every path, so the walk is not held to the
// Windows limit here; 4096 is what the kernel takes in one path.
constexpr size_t kFsPathCapacity = 4096;
#endif

// One entry of a directory listing.
struct FsEntry {
    char name[kPathCapacity];
    bool isDirectory;
    bool isReparsePoint;  // a junction or symbolic link
    bool isSpecial;       // a FIFO, socket or device: a file that is never opened
};

struct FsListingState;  // opaque: the platform's search handle or directory stream
using FsListing = FsListingState*;

enum class FsListStart {
    Listed,  // *entry holds the first entry; *listing must be closed
    Empty,   // the directory has no entries at all
    Failed,  // the directory cannot be listed
};

// Lists the current directory ("*"), in the platform's order, "." and ".." included where the
// platform gives them.
FsListStart FsListFirst(FsListing* listing, FsEntry* entry);
bool FsListNext(FsListing listing, FsEntry* entry);
void FsListClose(FsListing listing);

bool FsSetCurrentDirectory(const char* path);
// The absolute current directory, ending in a separator only at a root; false when it does not
// fit capacity.
bool FsGetCurrentDirectory(char* buffer, size_t capacity);
// The absolute form of path (against the current directory) in out; false when it does not fit.
bool FsFullPath(const char* path, char* out, size_t capacity);
bool FsIsDirectory(const char* path);

// The platform's own classification of a program file, where it has one: GetBinaryTypeA on
// Windows. Elsewhere the answer is Unsupported and the caller reads the headers itself.
enum class FsClassify {
    Classified,     // *type holds an SCS_* value
    NotExecutable,  // the platform read the file and calls it no program
    Unreadable,     // the file could not be opened or read
    Unsupported,
};
FsClassify FsClassifyBinary(const char* path, int* type);

// Lifts read-only, hidden and system (normal | archive) so that the file can be deleted.
void FsMakeDeletable(const char* path);
bool FsDeleteFile(const char* path);
// Moves a file to target, within a volume or across volumes, and never replaces a file already
// at target (then it fails with FsTargetExists() true).
bool FsMoveFile(const char* path, const char* target);
// Copies a file to a new file target, flushed to the disk; never replaces a file already there.
bool FsCopyToNewFile(const char* path, const char* target);
bool FsTargetExists();

// Read access for the infection test. While a file is open this way, nobody can open it for
// writing, and opening fails when somebody already has.
struct FsFile {
    intptr_t handle;
};
bool FsOpenForTest(const char* path, FsFile* file);
bool FsFileSize(FsFile file, uint64_t* size);
// Reads exactly count bytes at offset; false on a short read.
bool FsReadAt(FsFile file, uint64_t offset, void* buffer, uint32_t count);
// Reads up to count bytes at offset into buffer, fewer only at the end of the file.
bool FsReadUpTo(FsFile file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got);
void FsClose(FsFile file);

// The reason the last failed call gave (errno or the Win32 error), and its text.
int FsLastError();
void FsErrorText(int error, char* out, size_t capacity);

// Moves the file at path (relative to the current directory, or absolute) into folder under its
// own name, or the first of name.1, name.2, ... that is free; *target gets where it went.
bool FsMoveIntoFolder(const char* path, const char* folder, char* target, size_t capacity);
