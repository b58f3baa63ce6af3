// The native calls that the file-system layer's Win32 files share (fs/native_win32.h).
#include "fs/native_win32.h"

#include <cstring>
#include <cwchar>

#include "text/unicode.h"
#include "text/windows_names.h"

namespace fswin {

namespace {

typedef LONG(NTAPI* NtSetInformationFileCall)(HANDLE, PVOID, PVOID, ULONG, ULONG);

constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);

}  // namespace

void SetNativeError(LONG status)
{
    typedef ULONG(NTAPI * ToDosErrorCall)(LONG);
    static const auto toDos = NativeCall<ToDosErrorCall>("RtlNtStatusToDosError");
    SetLastError(toDos != nullptr ? toDos(status) : ERROR_GEN_FAILURE);
}

LONG SetInformation(HANDLE file, void* data, ULONG size, ULONG kind)
{
    static const auto call = NativeCall<NtSetInformationFileCall>("NtSetInformationFile");
    if (call == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return kStatusNotImplemented;
    }
    IoStatus io{};
    const LONG status = call(file, &io, data, size, kind);
    if (status < 0)
        SetNativeError(status);
    return status;
}

bool QueryAttributes(HANDLE file, DWORD* attributes, uint64_t* index)
{
    typedef LONG(NTAPI * QueryCall)(HANDLE, PVOID, PVOID, ULONG, ULONG);
    static const auto query = NativeCall<QueryCall>("NtQueryInformationFile");
    if (query == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    IoStatus io{};
    BasicInformation basic{};
    LONG status = query(file, &io, &basic, sizeof basic, kFileBasicInformation);
    LARGE_INTEGER internal{};
    constexpr ULONG kFileInternalInformation = 6;
    if (status >= 0 && index != nullptr)
        status = query(file, &io, &internal, sizeof internal, kFileInternalInformation);
    if (status < 0) {
        SetNativeError(status);
        return false;
    }
    *attributes = basic.fileAttributes;
    if (index != nullptr)
        *index = static_cast<uint64_t>(internal.QuadPart);
    return true;
}

bool ToWide(const char* path, wchar_t* out, size_t capacity, const wchar_t* tail)
{
    size_t units = 0;
    if (!ToVerbatimPath(path, reinterpret_cast<uint16_t*>(out), capacity, &units)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (tail != nullptr) {
        const size_t more = std::wcslen(tail);
        if (capacity - units < more + 1) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        std::memcpy(out + units, tail, (more + 1) * sizeof(wchar_t));
    }
    return true;
}

bool ChildToWide(const char* directory, const char* name, wchar_t* out, size_t capacity)
{
    static thread_local wchar_t wideName[kFsNameCapacity];
    size_t units = 0;
    if (!Wtf8ToUtf16(name, reinterpret_cast<uint16_t*>(wideName + 1), kFsNameCapacity - 1, &units)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    const size_t length = std::strlen(directory);
    const bool root = length > 0 && directory[length - 1] == '\\';
    wideName[0] = L'\\';
    return ToWide(directory, out, capacity, root ? wideName + 1 : wideName);
}

FsFileId IdOf(const BY_HANDLE_FILE_INFORMATION& info)
{
    return FsFileId{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool OpenRelative(HANDLE folder, const char* name, ACCESS_MASK access, ULONG share, ULONG options, HANDLE* handle)
{
    struct UnicodeText {
        USHORT length, capacity;
        PWSTR text;
    };
    struct ObjectAttributes {
        ULONG size;
        HANDLE root;
        UnicodeText* name;
        ULONG attributes;
        PVOID security, quality;
    };
    typedef LONG(NTAPI * CreateCall)(PHANDLE, ACCESS_MASK, ObjectAttributes*, IoStatus*, PLARGE_INTEGER, ULONG, ULONG,
                                     ULONG, ULONG, PVOID, ULONG);
    static const auto create = NativeCall<CreateCall>("NtCreateFile");
    static thread_local wchar_t wide[kFsNameCapacity];
    size_t units = 0;
    if (create == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    if (!Wtf8ToUtf16(name, reinterpret_cast<uint16_t*>(wide), kFsNameCapacity, &units)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    UnicodeText text{static_cast<USHORT>(units * sizeof(wchar_t)), static_cast<USHORT>(units * sizeof(wchar_t)), wide};
    constexpr ULONG kCaseInsensitive = 0x40, kOpen = 1;
    ObjectAttributes object{sizeof(ObjectAttributes), folder, &text, kCaseInsensitive, nullptr, nullptr};
    IoStatus io{};
    const LONG status = create(handle, access | SYNCHRONIZE, &object, &io, nullptr, 0, share, kOpen, options | kSynchronous,
                               nullptr, 0);
    if (status < 0) {
        *handle = INVALID_HANDLE_VALUE;
        SetNativeError(status);
        return false;
    }
    return true;
}

void CloseHandleKeepingError(HANDLE handle)
{
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
}

}  // namespace fswin
