// What the file-system layer's Win32 files share: the open folder's record, the records and
// calls of ntdll they all make, the \\?\ form of a path and the layer's own "changed" error. Only
// the layer's _win32 files include it; everyone else goes through fs/file_system.h.
//
// The scratch buffers behind these calls are thread_local, as fs/file_system.h says of the Windows
// implementation, and none is handed out.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "fs/file_system.h"

struct FsDirState {
    HANDLE handle;  // held without sharing deletion, so the folder cannot be renamed away meanwhile
    char* path;
    uint64_t volume;  // its volume's serial, as the root's was found
};

namespace fswin {

constexpr size_t kWideCapacity = 32768;        // units in one path, NUL included
constexpr int kChangedError = 0x20000000 | 1;  // an application's own error code, by its bit 29
constexpr int kReplacedError = 0x20000000 | 2;

// The native records, as ntdll takes them.
struct IoStatus {
    union {
        LONG status;
        PVOID pointer;
    };
    ULONG_PTR information;
};
struct BasicInformation {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
    ULONG fileAttributes;
};
constexpr ULONG kFileBasicInformation = 4;

// NtCreateFile's options.
constexpr ULONG kDirectoryFile = 0x1, kSynchronous = 0x20, kNonDirectoryFile = 0x40, kRandomAccess = 0x800,
                kForBackup = 0x4000, kOpenReparsePoint = 0x200000;

// A native call of ntdll, which is in every process; each caller looks its address up once.
template <typename Call>
Call NativeCall(const char* name)
{
    return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// The last error for a native status, as the Win32 calls set it.
void SetNativeError(LONG status);

// Sets information of kind on file through the native call; a failure's status comes back, with
// the last error set.
LONG SetInformation(HANDLE file, void* data, ULONG size, ULONG kind);

// A file's attributes and index on its volume, without the volume's serial, which Wine finds
// only slowly: the walk asks for these on every file and folder. False with the last error set.
bool QueryAttributes(HANDLE file, DWORD* attributes, uint64_t* index = nullptr);

// The \\?\ form of an absolute UTF-8 path (ToVerbatimPath), in units; false, with
// the last error set, when it is no WTF-8 or too long.
bool ToWide(const char* path, wchar_t* out, size_t capacity, const wchar_t* tail = nullptr);

// path joined with name (both UTF-8) in the \\?\ form.
bool ChildToWide(const char* directory, const char* name, wchar_t* out, size_t capacity);

FsFileId IdOf(const BY_HANDLE_FILE_INFORMATION& info);

// Opens name (one name, no separator) of the folder that folder holds, relative to that handle:
// nothing on the way can be swapped meanwhile. options are NtCreateFile's; false with the last
// error set.
bool OpenRelative(HANDLE folder, const char* name, ACCESS_MASK access, ULONG share, ULONG options, HANDLE* handle);

// Closes handle without changing the last error.
void CloseHandleKeepingError(HANDLE handle);

}  // namespace fswin
