// The file-system layer over the Win32 API (ANSI variants).
#include "fs/file_system.h"

#include <windows.h>

namespace {

void CopyEntry(const WIN32_FIND_DATAA& data, FsEntry* entry)
{
    lstrcpynA(entry->name, data.cFileName, static_cast<int>(kPathCapacity));
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->isReparsePoint = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry->isSpecial = false;
}

HANDLE ToHandle(FsFile file)
{
    return reinterpret_cast<HANDLE>(file.handle);
}

}  // namespace

FsListStart FsListFirst(FsListing* listing, FsEntry* entry)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("*", &data);
    if (find == INVALID_HANDLE_VALUE) {
        // A directory with no entries at all (an empty drive root has no . and ..) is an empty
        // listing, not a failure.
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? FsListStart::Empty
                                                                             : FsListStart::Failed;
    }
    CopyEntry(data, entry);
    *listing = reinterpret_cast<FsListing>(find);
    return FsListStart::Listed;
}

bool FsListNext(FsListing listing, FsEntry* entry)
{
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(reinterpret_cast<HANDLE>(listing), &data))
        return false;
    CopyEntry(data, entry);
    return true;
}

void FsListClose(FsListing listing)
{
    FindClose(reinterpret_cast<HANDLE>(listing));
}

bool FsSetCurrentDirectory(const char* path)
{
    return SetCurrentDirectoryA(path) != 0;
}

bool FsGetCurrentDirectory(char* buffer, size_t capacity)
{
    const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(capacity), buffer);
    return length != 0 && length < capacity;
}

bool FsFullPath(const char* path, char* out, size_t capacity)
{
    const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(capacity), out, nullptr);
    return length != 0 && length < capacity;
}

bool FsIsDirectory(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FsClassify FsClassifyBinary(const char* path, int* type)
{
    DWORD scs = 0;
    if (GetBinaryTypeA(path, &scs)) {
        *type = static_cast<int>(scs);
        return FsClassify::Classified;
    }
    // The platform fails alike for "no program" and "could not look"; the error tells which.
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_READ_FAULT:
    case ERROR_CRC:
    case ERROR_NOT_READY:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NETNAME_DELETED:
        return FsClassify::Unreadable;
    default:
        return FsClassify::NotExecutable;
    }
}

void FsMakeDeletable(const char* path)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE);
}

bool FsDeleteFile(const char* path)
{
    return DeleteFileA(path) != 0;
}

bool FsMoveFile(const char* path, const char* target)
{
    // Without MOVEFILE_REPLACE_EXISTING the platform refuses a taken target in the same step.
    return MoveFileExA(path, target, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0;
}

bool FsCopyToNewFile(const char* path, const char* target)
{
    if (!CopyFileA(path, target, TRUE))
        return false;
    // The copy is flushed before the caller relies on it.
    HANDLE copy = CreateFileA(target, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE)
        return false;
    const BOOL flushed = FlushFileBuffers(copy);
    CloseHandle(copy);
    return flushed != 0;
}

bool FsTargetExists()
{
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

bool FsOpenForTest(const char* path, FsFile* file)
{
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    file->handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool FsFileSize(FsFile file, uint64_t* size)
{
    LARGE_INTEGER value;
    if (!GetFileSizeEx(ToHandle(file), &value) || value.QuadPart < 0)
        return false;
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool FsReadUpTo(FsFile file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(ToHandle(file), buffer, count, &read, &at) && GetLastError() != ERROR_HANDLE_EOF)
        return false;
    *got = read;
    return true;
}

bool FsReadAt(FsFile file, uint64_t offset, void* buffer, uint32_t count)
{
    uint32_t got = 0;
    return FsReadUpTo(file, offset, buffer, count, &got) && got == count;
}

void FsClose(FsFile file)
{
    CloseHandle(ToHandle(file));
}

int FsLastError()
{
    return static_cast<int>(GetLastError());
}

void FsErrorText(int error, char* out, size_t capacity)
{
    if (capacity == 0)
        return;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, out, static_cast<DWORD>(capacity), nullptr);
    // The system's texts end in a full stop and a line break; the caller prints them in a line.
    while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r' || out[length - 1] == '.'))
        --length;
    out[length] = '\0';
    if (length == 0) {
        char number[32];
        wsprintfA(number, "error %lu", static_cast<unsigned long>(error));
        lstrcpynA(out, number, static_cast<int>(capacity));
    }
}
