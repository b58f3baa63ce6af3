// The disposal of a tested file over the Win32 API. It opens the file once more for deletion,
// sharing nothing but reading, checks that it is the very file the test read (volume and file
// index), and deletes or renames it through that handle (the native calls, which Windows XP has).
#include "fs/native_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "fs/test_seams.h"

using namespace fswin;

namespace {

// The disposal's own native records, as ntdll takes them.
struct DispositionInformation {
    BOOLEAN deleteFile;
};
struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileDispositionInformation = 13;
constexpr LONG kStatusNotSameDevice = static_cast<LONG>(0xC00000D4);
constexpr LONG kStatusCannotDelete = static_cast<LONG>(0xC0000121);
constexpr LONG kStatusSharingViolation = static_cast<LONG>(0xC0000043);

// The path of name in folder.
bool TargetName(const char* folder, const char* name, char* out, size_t capacity)
{
    const size_t length = std::strlen(folder);
    const char* separator = length > 0 && folder[length - 1] == '\\' ? "" : "\\";
    const int used = std::snprintf(out, capacity, "%s%s%s", folder, separator, name);
    return used >= 0 && static_cast<size_t>(used) < capacity;
}

// Renames the file that handle holds to target (\\?\ form), never replacing a file.
LONG RenameTo(HANDLE handle, const wchar_t* target)
{
    // The native call takes the NT form: \??\ where the Win32 one has \\?\.
    const size_t units = std::wcslen(target);
    const size_t size = sizeof(RenameInformation) + units * sizeof(wchar_t);
    auto* rename = static_cast<RenameInformation*>(std::calloc(1, size));
    if (rename == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return static_cast<LONG>(0xC0000017);
    }
    rename->replaceIfExists = FALSE;
    rename->fileNameLength = static_cast<ULONG>(units * sizeof(wchar_t));
    std::memcpy(rename->fileName, target, units * sizeof(wchar_t));
    rename->fileName[1] = L'?';
    const LONG status = SetInformation(handle, rename, static_cast<ULONG>(size), kFileRenameInformation);
    std::free(rename);
    return status;
}

// Copies what source holds to a new file at target (\\?\ form), flushed; the copy goes on failure.
bool CopyOpenFile(HANDLE source, const wchar_t* target)
{
    HANDLE copy = CreateFileW(target, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE)
        return false;
    static thread_local char block[65536];
    bool copied = true;
    for (uint64_t at = 0;;) {
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0, put = 0;
        if (!ReadFile(source, block, sizeof block, &got, &where) && GetLastError() != ERROR_HANDLE_EOF) {
            copied = false;
            break;
        }
        if (got == 0)
            break;
        if (!WriteFile(copy, block, got, &put, nullptr) || put != got) {
            copied = false;
            break;
        }
        at += got;
    }
    copied = copied && FlushFileBuffers(copy);
    if (!copied) {
        const DWORD error = GetLastError();
        DispositionInformation gone{TRUE};
        SetInformation(copy, &gone, sizeof gone, kFileDispositionInformation);
        CloseHandle(copy);
        SetLastError(error);
        return false;
    }
    CloseHandle(copy);
    return true;
}

bool LiftAttributes(HANDLE handle, DWORD attributes);
// Opens name in the folder that folder holds, as it is there. In a 32-bit process on 64-bit
// Windows a name opened relative to the real system32 (which the process reaches only through
// Sysnative) is redirected into SysWOW64, to another file of the same name; the folder held is
// the one meant, so the redirection is off for this call (on this thread alone).
bool OpenInFolder(HANDLE folder, const char* name, ACCESS_MASK access, ULONG share, ULONG options, HANDLE* handle)
{
    using DisableCall = BOOL(WINAPI*)(PVOID*);
    using RevertCall = BOOL(WINAPI*)(PVOID);
    static const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    static const auto disable = reinterpret_cast<DisableCall>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection"));
    static const auto revert = reinterpret_cast<RevertCall>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection"));
    PVOID redirection = nullptr;
    const bool off = disable != nullptr && revert != nullptr && disable(&redirection);
    const bool opened = OpenRelative(folder, name, access, share, options, handle);
    if (off) {
        const DWORD error = GetLastError();
        revert(redirection);
        SetLastError(error);
    }
    return opened;
}

void RestoreAttributes(HANDLE handle, DWORD attributes);

// Moves the file that handle holds (source, the tested one, with attributes) into folder as name,
// never replacing a file; across volumes a copy under a temporary name is put in place
// (FsPutInPlace) first, so the name never holds a partial copy. The original then goes through
// handle.
bool MoveOut(HANDLE handle, HANDLE source, DWORD attributes, const char* folder, const char* name, char* target,
             size_t capacity)
{
    static thread_local wchar_t wide[kWideCapacity];
    static thread_local wchar_t temporary[kWideCapacity];
    if (!TargetName(folder, name, target, capacity) || !ToWide(target, wide, kWideCapacity))
        return false;
    const LONG status = RenameTo(handle, wide);
    if (status >= 0)
        return true;
    if (status != kStatusNotSameDevice)
        return false;
    char part[64];
    std::snprintf(part, sizeof part, ".qfscan-%lu-%p.part", GetCurrentProcessId(), static_cast<void*>(&wide));
    char partPath[kFsPathCapacity];
    if (!TargetName(folder, part, partPath, sizeof partPath) || !ToWide(partPath, temporary, kWideCapacity) ||
        !CopyOpenFile(source, temporary))
        return false;
    DWORD error;
    if (FsPutInPlace(partPath, target, false)) {
        const bool lifted = LiftAttributes(handle, attributes);
        DispositionInformation gone{TRUE};
        if (SetInformation(handle, &gone, sizeof gone, kFileDispositionInformation) >= 0)
            return true;
        error = GetLastError();
        if (lifted)
            RestoreAttributes(handle, attributes);
        DeleteFileW(wide);  // never leave two
    } else {
        error = GetLastError();  // the copy is gone
    }
    SetLastError(error);
    return false;
}

// Lifts read-only, hidden and system through handle so that the file can be deleted; false when
// nothing needed lifting or it could not be.
bool LiftAttributes(HANDLE handle, DWORD attributes)
{
    const DWORD kLifted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((attributes & kLifted) == 0)
        return false;
    BasicInformation basic{};  // zero times: left as they are
    basic.fileAttributes = attributes & ~kLifted & ~FILE_ATTRIBUTE_DIRECTORY;
    if (basic.fileAttributes == 0)
        basic.fileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetInformation(handle, &basic, sizeof basic, kFileBasicInformation) >= 0;
}

// A delete at restart fails on a read-only file, so read-only goes now; only the attributes are
// written, which the program that holds the file does not prevent. False when the name names
// another file by now.
bool ClearReadOnlyFor(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& tested)
{
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION now;
    bool same = GetFileInformationByHandle(handle, &now) && FsSameFile(IdOf(now), IdOf(tested));
    if (same && (now.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        BasicInformation basic{};
        basic.fileAttributes = now.dwFileAttributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
        if (basic.fileAttributes == 0)
            basic.fileAttributes = FILE_ATTRIBUTE_NORMAL;
        same = SetInformation(handle, &basic, sizeof basic, kFileBasicInformation) >= 0;
    }
    CloseHandleKeepingError(handle);
    if (!same && GetLastError() == 0)
        SetLastError(kChangedError);
    return same;
}

void RestoreAttributes(HANDLE handle, DWORD attributes)
{
    BasicInformation basic{};
    basic.fileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    const DWORD error = GetLastError();
    SetInformation(handle, &basic, sizeof basic, kFileBasicInformation);
    SetLastError(error);
}

}  // namespace

FsDisposal FsDispose(FsFile* file, const char* moveFolder, bool atRestart, char* target, size_t capacity,
                     const char* moveName)
{
    static thread_local wchar_t wide[kWideCapacity];
    FsDisposal result{FsOutcome::NotDone, 0};
    const HANDLE tested = reinterpret_cast<HANDLE>(file->handle);
    BY_HANDLE_FILE_INFORMATION before;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!GetFileInformationByHandle(tested, &before) || !ChildToWide(file->dir->path, file->name, wide, kWideCapacity)) {
        result.error = static_cast<int>(GetLastError());
    } else {
        SeamPauseBeforeRemoval(file->dir->path, file->name);
        // Sharing only reading: from here on nobody renames, replaces or writes it.
        OpenInFolder(file->dir->handle, file->name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                     kNonDirectoryFile | kOpenReparsePoint, &handle);
        BY_HANDLE_FILE_INFORMATION now;
        if (handle == INVALID_HANDLE_VALUE) {
            result.error = static_cast<int>(GetLastError());
        } else if (!GetFileInformationByHandle(handle, &now) || !FsSameFile(IdOf(now), IdOf(before))) {
            result.error = kChangedError;  // the name names another file by now: it is not ours to touch
        } else if (moveFolder != nullptr) {
            if (MoveOut(handle, tested, now.dwFileAttributes, moveFolder, moveName, target, capacity))
                result.outcome = FsOutcome::Moved;
            else
                result.error = static_cast<int>(GetLastError());
        } else {
            const bool lifted = LiftAttributes(handle, now.dwFileAttributes);
            DispositionInformation gone{TRUE};
            const LONG status = SetInformation(handle, &gone, sizeof gone, kFileDispositionInformation);
            if (status >= 0) {
                result.outcome = FsOutcome::Deleted;
            } else {
                result.error = static_cast<int>(GetLastError());
                if (lifted)
                    RestoreAttributes(handle, now.dwFileAttributes);
                if (status == kStatusCannotDelete || status == kStatusSharingViolation)
                    result.error = ERROR_SHARING_VIOLATION;  // a running program, or mapped
            }
        }
    }
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    // In use by another program: Windows may delete it when it next starts, before anyone runs it.
    if (result.outcome == FsOutcome::NotDone && moveFolder == nullptr && atRestart &&
        (result.error == ERROR_SHARING_VIOLATION || result.error == ERROR_LOCK_VIOLATION)) {
        if (ClearReadOnlyFor(wide, before) && MoveFileExW(wide, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            result.outcome = FsOutcome::DeleteAtRestart;
        else
            result.error = static_cast<int>(GetLastError());
    }
    FsClose(file);
    SetLastError(static_cast<DWORD>(result.error));
    return result;
}

bool FsTargetExists()
{
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}
