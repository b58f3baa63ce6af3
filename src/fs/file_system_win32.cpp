// The file-system layer over the Win32 API: wide-character calls with \\?\ absolute paths, so
// that every name Windows allows is reached as it is listed (names outside the code page, DOS
// device names, trailing dots and spaces, paths past 260 characters).
//
// Below the root, every folder and file is opened relative to its folder's handle (the native
// open, which takes a folder handle as the root of a name), so no folder on the way can be
// swapped for a link meanwhile. A file for the test is opened for reading, with others allowed
// to read and to open it for deletion; so nobody writes it while it is tested. Its disposal
// (disposal_win32.cpp) acts on it only while it is still the very file the test read.
//
// This file holds the paths, the opening and reading of files and the error texts;
// listing_win32.cpp opens and lists folders, and native_win32.cpp holds the native calls that
// all of them share.
#include "fs/file_system.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "fs/native_win32.h"
#include "text/unicode.h"
#include "text/windows_names.h"

using namespace fswin;

namespace {

HANDLE OpenForTest(const wchar_t* path, bool followReparse)
{
    // Others may read it, and open it for deletion so that the disposal can; nobody may write.
    // The test reads a few scattered pages: no read-ahead past them.
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS | (followReparse ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                       nullptr);
}

}  // namespace

bool FsFullPath(const char* path, char* out, size_t capacity)
{
    static thread_local wchar_t wide[kWideCapacity];
    static thread_local wchar_t full[kWideCapacity];
    size_t units = 0;
    if (path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!Wtf8ToUtf16(path, reinterpret_cast<uint16_t*>(wide), kWideCapacity, &units))
        return false;
    const DWORD length = GetFullPathNameW(wide, kWideCapacity, full, nullptr);
    if (length == 0 || length >= kWideCapacity)
        return false;
    // Shown and reported without the \\?\ that the layer adds at every call.
    const auto* shown = WithoutVerbatimPrefix(reinterpret_cast<uint16_t*>(full));
    return Utf16ToWtf8(shown, std::wcslen(reinterpret_cast<const wchar_t*>(shown)), out, capacity);
}

namespace {

DWORD AttributesOf(const char* path)
{
    static thread_local wchar_t wide[kWideCapacity];
    return ToWide(path, wide, kWideCapacity) ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool FsPutInPlace(const char* fresh, const char* target, bool replace)
{
    static thread_local wchar_t from[kWideCapacity];
    static thread_local wchar_t to[kWideCapacity];
    if (!ToWide(fresh, from, kWideCapacity) || !ToWide(target, to, kWideCapacity))
        return false;
    HANDLE file = CreateFileW(from, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    bool done = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandleKeepingError(file);
    done = done && MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0));
    if (!done) {
        const DWORD error = GetLastError();
        SetFileAttributesW(from, FILE_ATTRIBUTE_NORMAL);  // read-only would keep it
        DeleteFileW(from);
        SetLastError(error);
    }
    return done;
}

bool FsIsDirectory(const char* path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FsIsFile(const char* path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FsSetCurrentDirectory(const char* path)
{
    static thread_local wchar_t wide[kWideCapacity];
    size_t units = 0;
    if (!Wtf8ToUtf16(path, reinterpret_cast<uint16_t*>(wide), kWideCapacity, &units))
        return false;
    // The current directory lives in a buffer of MAX_PATH units, with a trailing backslash and
    // the NUL. Windows refuses a longer one to a program that is not long-path aware; Wine 8
    // accepts it and copies it past that buffer, over the loader's record of the program.
    const bool endsInBackslash = units > 0 && wide[units - 1] == L'\\';
    if (units + (endsInBackslash ? 0 : 1) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return SetCurrentDirectoryW(wide) != 0;
}

bool FsOpenChild(FsDir dir, const FsEntry& entry, FsFile* file)
{
    *file = FsFile{reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), dir, entry.name, false};
    // Others may read it, and open it for deletion so that the disposal can; nobody may write.
    // The test reads a few scattered pages: no read-ahead past them.
    HANDLE handle;
    if (!OpenRelative(dir->handle, entry.name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      kNonDirectoryFile | kRandomAccess | (entry.followReparse ? 0 : kOpenReparsePoint), &handle))
        return false;
    // Nothing more to ask: a link put in its place since the listing is opened as the link itself
    // (its empty data tests as no program, and FsDispose finds the name no longer the tested
    // file), and a folder does not open without backup semantics.
    file->handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool FsOpenFile(const char* path, FsFile* file)
{
    *file = FsFile{reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), nullptr, nullptr, false};
    const char* slash = std::strrchr(path, '\\');
    if (slash == nullptr || slash[1] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    char parent[kFsPathCapacity];
    // A drive root keeps its backslash.
    const size_t length = static_cast<size_t>(slash - path) + (slash > path && slash[-1] == ':' ? 1 : 0);
    if (length >= sizeof parent) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(parent, path, length);
    parent[length] = '\0';
    FsDir dir;
    FsFileId id;
    if (!FsOpenDirectory(parent, &dir, &id))
        return false;
    static thread_local wchar_t wide[kWideCapacity];
    if (!ChildToWide(parent, slash + 1, wide, kWideCapacity)) {
        FsCloseDirectory(dir);
        return false;
    }
    // A program path may name a link: Windows starts what it points to, and so that is tested.
    HANDLE handle = OpenForTest(wide, true);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        FsCloseDirectory(dir);
        SetLastError(error);
        return false;
    }
    *file = FsFile{reinterpret_cast<intptr_t>(handle), dir, slash + 1, true};
    return true;
}

void FsReadAhead(const FsFile&, uint64_t, uint32_t)
{
    // Nothing on Windows reads in the disk's order (FsDataPlace).
}

bool FsFileIdOf(const FsFile& file, FsFileId* id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file.handle), &info))
        return false;
    *id = IdOf(info);
    return true;
}

bool FsFileSize(const FsFile& file, uint64_t* size)
{
    LARGE_INTEGER value;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file.handle), &value) || value.QuadPart < 0)
        return false;
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool FsReadUpTo(const FsFile& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got)
{
    // The native read at an offset, with no completion context: ReadFile given an OVERLAPPED
    // passes it as one, and Wine then asks its server to queue a completion on every read (one
    // more round trip a file). The handle is synchronous, so the call returns when it is done.
    typedef LONG(NTAPI * ReadCall)(HANDLE, HANDLE, PVOID, PVOID, PVOID, PVOID, ULONG, PLARGE_INTEGER, PULONG);
    static const auto read = NativeCall<ReadCall>("NtReadFile");
    if (read == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    constexpr LONG kStatusPending = 0x103, kStatusEndOfFile = static_cast<LONG>(0xC0000011);
    IoStatus io{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    const LONG status = read(reinterpret_cast<HANDLE>(file.handle), nullptr, nullptr, nullptr, &io, buffer, count, &at,
                             nullptr);
    if (status == kStatusEndOfFile) {
        *got = 0;
        return true;
    }
    if (status == kStatusPending) {
        SetLastError(ERROR_IO_PENDING);
        return false;
    }
    if (status < 0) {
        SetNativeError(status);
        return false;
    }
    *got = static_cast<uint32_t>(io.information);
    return true;
}

void FsClose(FsFile* file)
{
    if (reinterpret_cast<HANDLE>(file->handle) != INVALID_HANDLE_VALUE)
        CloseHandleKeepingError(reinterpret_cast<HANDLE>(file->handle));
    if (file->ownsDir && file->dir != nullptr)
        FsCloseDirectory(file->dir);
    *file = FsFile{reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), nullptr, nullptr, false};
}

FsPlace FsDataPlace(const FsFile&, bool, uint64_t*)
{
    // Nothing on Windows reads in the disk's order: the window keeps its walk, and so does qfscan.
    return FsPlace::Unknown;
}

int FsLastError()
{
    return static_cast<int>(GetLastError());
}

int FsChangedError()
{
    return kChangedError;
}

int FsReplacedError()
{
    return kReplacedError;
}

bool FsPassedOver(int)
{
    return false;  // no kernel file system is mounted into a Windows volume
}

void FsErrorText(int error, char* out, size_t capacity)
{
    if (capacity == 0)
        return;
    if (error == kChangedError || error == kReplacedError) {
        std::snprintf(out, capacity, "changed since it was %s (another file or a link in its place)",
                      error == kChangedError ? "tested" : "listed");
        return;
    }
    // The system's text, in UTF-8 like every other text of the layer.
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, text, 512, nullptr);
    // The system's texts end in a full stop and a line break; the caller prints them in a line.
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L'.'))
        --length;
    if (length == 0 || !Utf16ToWtf8(reinterpret_cast<const uint16_t*>(text), length, out, capacity))
        std::snprintf(out, capacity, "error %lu", static_cast<unsigned long>(error));
}
