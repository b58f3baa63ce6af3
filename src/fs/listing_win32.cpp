// The file-system layer's folders over the Win32 API: the scan root opened by its path, every
// folder below opened relative to its parent's handle, and listings read through the native
// call, which gives each entry's index with its name.
#include "fs/native_win32.h"

#include <cstdlib>
#include <cstring>

#include "text/unicode.h"

using namespace fswin;

// A listing read through the folder's own handle, a block of entries at a time: each entry
// comes with its index, so queuing a subfolder costs no second open.
struct FsListingState {
    HANDLE folder;
    size_t at;    // offset of the next entry in block, or kNoEntry
    alignas(8) unsigned char block[65536];
};

namespace {

bool IsNameSurrogate(DWORD tag)
{
    return (tag & 0x20000000) != 0;  // a link, junction or mount point: it names another place
}

// FILE_ID_BOTH_DIR_INFORMATION, as NtQueryDirectoryFile gives it.
struct IdBothEntry {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile, allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;
    ULONG eaSize;  // the reparse tag, for a reparse point
    CCHAR shortNameLength;
    WCHAR shortName[12];
    LARGE_INTEGER fileId;
    WCHAR fileName[1];
};
constexpr ULONG kFileIdBothDirectoryInformation = 37;
constexpr size_t kNoEntry = ~size_t{0};

bool CopyEntry(const IdBothEntry& item, FsEntry* entry)
{
    *entry = FsEntry{};
    if (!Utf16ToWtf8(reinterpret_cast<const uint16_t*>(item.fileName), item.fileNameLength / sizeof(WCHAR), entry->name,
                     sizeof entry->name))
        return false;
    const DWORD attributes = item.fileAttributes;
    entry->isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry->isLink = reparse && (entry->isDirectory || item.eaSize == 0 || IsNameSurrogate(item.eaSize));
    entry->followReparse = reparse && !entry->isLink;
    entry->isSpecial = (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
    entry->index = static_cast<uint64_t>(item.fileId.QuadPart);
    return true;
}

// Reads the next block of the listing; false at its end or on a failure (the last error says).
bool ReadBlock(FsListingState* state, bool first)
{
    typedef LONG(NTAPI * QueryCall)(HANDLE, HANDLE, PVOID, PVOID, PVOID, PVOID, ULONG, ULONG, BOOLEAN, PVOID, BOOLEAN);
    static const auto query = NativeCall<QueryCall>("NtQueryDirectoryFile");
    state->at = kNoEntry;
    if (query == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    IoStatus io{};
    const LONG status = query(state->folder, nullptr, nullptr, nullptr, &io, state->block, sizeof state->block,
                              kFileIdBothDirectoryInformation, FALSE, nullptr, first ? TRUE : FALSE);
    if (status < 0) {
        constexpr LONG kNoMoreFiles = static_cast<LONG>(0x80000006), kNoSuchFile = static_cast<LONG>(0xC000000F);
        if (status == kNoMoreFiles || status == kNoSuchFile)
            SetLastError(ERROR_NO_MORE_FILES);
        else
            SetNativeError(status);
        return false;
    }
    state->at = 0;
    return io.information != 0;
}

// Wraps the open folder handle, with a copy of its path; false (the handle closed) when it is no
// folder, or error says why it is refused.
bool WrapOpenFolder(HANDLE handle, DWORD attributes, DWORD error, const char* path, const FsFileId& found, FsDir* dir,
                   FsFileId* id)
{
    if (error == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        error = ERROR_DIRECTORY;
    auto* state = error == 0 ? static_cast<FsDirState*>(std::malloc(sizeof(FsDirState))) : nullptr;
    char* copy = error == 0 ? static_cast<char*>(std::malloc(std::strlen(path) + 1)) : nullptr;
    if (error == 0 && (state == nullptr || copy == nullptr))
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0) {
        std::free(state);
        std::free(copy);
        CloseHandle(handle);
        SetLastError(error);
        return false;
    }
    std::strcpy(copy, path);
    *state = FsDirState{handle, copy, found.volume};
    *dir = state;
    *id = found;
    return true;
}

}  // namespace

bool FsOpenDirectory(const char* path, FsDir* dir, FsFileId* id)
{
    static thread_local wchar_t wide[kWideCapacity];
    if (path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!ToWide(path, wide, kWideCapacity))
        return false;
    HANDLE handle = CreateFileW(wide, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // Only the root's volume is asked for: every folder below lies on it, since a mount point is
    // a reparse point and never entered.
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    return WrapOpenFolder(handle, known ? info.dwFileAttributes : 0, known ? 0 : GetLastError(), path,
                         known ? IdOf(info) : FsFileId{}, dir, id);
}

bool FsOpenSubdirectory(FsDir parent, const char* name, const FsFileId& expected, const char* path, FsDir* dir,
                        FsFileId* id)
{
    // A reparse point (a link, junction or mount point) is opened as itself, never followed.
    HANDLE handle;
    if (!OpenRelative(parent->handle, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      kDirectoryFile | kForBackup | kOpenReparsePoint, &handle))
        return false;
    FsFileId found{parent->volume, 0};
    DWORD attributes = 0;
    DWORD error = QueryAttributes(handle, &attributes, &found.file) ? 0 : GetLastError();
    // Another folder renamed into its place, or a reparse point put there, is not entered.
    if (error == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (!FsSameFile(found, expected) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0))
        error = kChangedError;
    return WrapOpenFolder(handle, attributes, error, path, found, dir, id);
}

bool FsCopyDirectory(FsDir dir, FsDir* copy)
{
    HANDLE handle;
    if (!DuplicateHandle(GetCurrentProcess(), dir->handle, GetCurrentProcess(), &handle, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return false;
    const size_t size = std::strlen(dir->path) + 1;
    char* path = static_cast<char*>(std::malloc(size));
    auto* state = static_cast<FsDirState*>(std::malloc(sizeof(FsDirState)));
    if (path == nullptr || state == nullptr) {
        CloseHandle(handle);
        std::free(path);
        std::free(state);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::memcpy(path, dir->path, size);
    *state = FsDirState{handle, path, dir->volume};
    *copy = state;
    return true;
}

bool FsServedInTurn(FsDir)
{
    return false;  // nothing on Windows reads in the disk's order (FsDataPlace)
}

size_t FsHandleLimit()
{
    return 1 << 24;  // a process's handles are bounded by memory alone
}

void FsCloseDirectory(FsDir dir)
{
    CloseHandle(dir->handle);
    std::free(dir->path);
    std::free(dir);
}

const char* FsDirectoryPath(FsDir dir)
{
    return dir->path;
}

FsListStart FsListFirst(FsDir dir, FsListing* listing, FsEntry* entry)
{
    auto* state = static_cast<FsListingState*>(std::malloc(sizeof(FsListingState)));
    if (state == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FsListStart::Failed;
    }
    state->folder = dir->handle;
    if (!ReadBlock(state, true)) {
        const DWORD error = GetLastError();
        std::free(state);
        SetLastError(error);
        // A directory with no entries at all (an empty drive root has no . and ..) is an empty
        // listing, not a failure.
        return error == ERROR_NO_MORE_FILES ? FsListStart::Empty : FsListStart::Failed;
    }
    *listing = state;
    if (FsListNext(state, entry))
        return FsListStart::Listed;
    FsListClose(state);
    return FsListStart::Empty;
}

bool FsListNext(FsListing listing, FsEntry* entry)
{
    while (listing->at != kNoEntry || ReadBlock(listing, false)) {
        const auto& item = *reinterpret_cast<const IdBothEntry*>(listing->block + listing->at);
        listing->at = item.nextEntryOffset != 0 ? listing->at + item.nextEntryOffset : kNoEntry;
        if (CopyEntry(item, entry))
            return true;
    }
    return false;
}

void FsListClose(FsListing listing)
{
    std::free(listing);
}

bool FsEntryId(FsDir dir, const FsEntry& entry, FsFileId* id)
{
    if (entry.index != 0) {
        *id = FsFileId{dir->volume, entry.index};
        return true;
    }
    HANDLE handle;
    if (!OpenRelative(dir->handle, entry.name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      kForBackup | kOpenReparsePoint, &handle))
        return false;
    DWORD attributes = 0;
    uint64_t index = 0;
    const bool known = QueryAttributes(handle, &attributes, &index);
    CloseHandleKeepingError(handle);
    if (known)
        *id = FsFileId{dir->volume, index};
    return known;
}
