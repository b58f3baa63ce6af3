// The file-system layer: the few file operations that the portable scan and detection code need.
//
// Two implementations of these free procedures exist, one over the Win32 API (file_system_win32.cpp)
// and one over POSIX (file_system_posix.cpp); the build links exactly one. Paths use the Windows
// syntax in both: the POSIX implementation reads a backslash as a separator and reports the
// current directory with backslashes, so the walk builds the same child paths on either.
//
// Relative names are resolved against the process's current directory, which the walk uses as
// its cursor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "detect/pe_image.h"

constexpr size_t kPathCapacity = 260;  // every fixed path and text buffer, the NUL included

// One entry of a directory listing.
struct FsEntry {
    char name[kPathCapacity];
    bool isDirectory;
    bool isReparsePoint;  // a junction or symbolic link
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
// The absolute current directory, ending in a backslash only at a root; false when it does not
// fit capacity.
bool FsGetCurrentDirectory(char* buffer, size_t capacity);

pe::BinaryType FsClassifyBinary(const char* path);

// Lifts read-only, hidden and system (normal | archive) so that the file can be deleted.
void FsMakeDeletable(const char* path);
bool FsDeleteFile(const char* path);

// Read access for the infection test. While a file is open this way, nobody can open it for
// writing, and opening fails when somebody already has.
struct FsFile {
    intptr_t handle;
};
bool FsOpenForTest(const char* path, FsFile* file);
bool FsFileSize(FsFile file, uint64_t* size);
// Reads exactly count bytes at offset; false on a short read.
bool FsReadAt(FsFile file, uint64_t offset, void* buffer, uint32_t count);
void FsClose(FsFile file);

// A byte source over an open file, for the header readers of detect/pe_image.h.
struct FsFileSource {
    FsFile file;
    uint64_t size;
    uint64_t Size() const { return size; }
    bool Read(uint64_t offset, void* out, uint32_t count) { return FsReadAt(file, offset, out, count); }
};
