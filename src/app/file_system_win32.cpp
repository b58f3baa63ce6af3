// The file-system layer over the Win32 API (ANSI variants).
#include "app/file_system.h"

#include <windows.h>

namespace {

void CopyEntry(const WIN32_FIND_DATAA& data, FsEntry* entry)
{
    lstrcpynA(entry->name, data.cFileName, static_cast<int>(kPathCapacity));
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->isReparsePoint = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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

pe::BinaryType FsClassifyBinary(const char* path)
{
    DWORD type = 0;
    if (!GetBinaryTypeA(path, &type))
        return pe::kNotExecutable;
    return static_cast<pe::BinaryType>(type);
}

void FsMakeDeletable(const char* path)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE);
}

bool FsDeleteFile(const char* path)
{
    return DeleteFileA(path) != 0;
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

bool FsReadAt(FsFile file, uint64_t offset, void* buffer, uint32_t count)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(ToHandle(file), buffer, count, &got, &at) && got == count;
}

void FsClose(FsFile file)
{
    CloseHandle(ToHandle(file));
}
