// The quarantine's needs of the platform over Win32: SHA-256 through CryptoAPI (the AES
// provider, which XP SP3 has), metadata through the file's handle: attributes, times and its
// security descriptor (owner, group and access list).
#include "quarantine/store.h"

#include <windows.h>
#include <aclapi.h>
#include <wincrypt.h>

#include <cstring>
#include <cstdio>

#include "text/unicode.h"
#include "text/windows_names.h"

namespace {

constexpr SECURITY_INFORMATION kSecurity = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION;

// The \\?\ form of an absolute path (ToVerbatimPath); empty when it is no WTF-8.
std::wstring Wide(const std::string& path)
{
    std::wstring wide(path.size() + 8, L'\0');
    size_t units = 0;
    if (!ToVerbatimPath(path.c_str(), reinterpret_cast<uint16_t*>(&wide[0]), wide.size(), &units))
        return L"";
    wide.resize(units);
    return wide;
}

HANDLE Handle(const FsFile& file)
{
    return reinterpret_cast<HANDLE>(file.handle);
}

std::string Reason(const char* what)
{
    char text[256];
    FsErrorText(static_cast<int>(GetLastError()), text, sizeof text);
    return std::string(what) + ": " + text;
}

FILETIME Time(uint64_t value)
{
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// Gives the file at path its descriptor and times; its attributes come last, since read-only
// would stop the rest.
bool Apply(const std::wstring& path, const FileMetadata& metadata, std::string* why)
{
    if (!metadata.securityDescriptor.empty()) {
        auto* descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(const_cast<char*>(metadata.securityDescriptor.data()));
        // Only an administrator may give a file to another owner: anyone else keeps the access list.
        if (!SetFileSecurityW(path.c_str(), kSecurity, descriptor) &&
            !SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor)) {
            *why = Reason("its security descriptor cannot be set");
            return false;
        }
    }
    HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const FILETIME created = Time(metadata.created), accessed = Time(metadata.accessed), written = Time(metadata.written);
    const bool timed = handle != INVALID_HANDLE_VALUE && SetFileTime(handle, &created, &accessed, &written);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!timed) {
        *why = Reason("its times cannot be set");
        return false;
    }
    if (metadata.hasAttributes && !SetFileAttributesW(path.c_str(), metadata.attributes)) {
        *why = Reason("its attributes cannot be set");
        return false;
    }
    return true;
}

}  // namespace

bool StoreDigest(const FsFile& file, uint8_t digest[32], uint64_t* size)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    bool done = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != FALSE;
    static thread_local uint8_t block[65536];
    uint64_t at = 0;
    for (uint32_t got = 0; done; at += got) {
        done = FsReadUpTo(file, at, block, sizeof block, &got);
        if (!done || got == 0)
            break;
        done = CryptHashData(hash, block, got, 0) != FALSE;
    }
    DWORD length = 32;
    done = done && CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == 32;
    const DWORD error = GetLastError();
    if (hash != 0)
        CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    SetLastError(error);
    *size = at;
    return done;
}

bool StoreReadMetadata(const FsFile& file, FileMetadata* metadata)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(Handle(file), &info))
        return false;
    metadata->hasAttributes = true;
    metadata->attributes = info.dwFileAttributes;
    auto whole = [](const FILETIME& time) { return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; };
    metadata->created = whole(info.ftCreationTime);
    metadata->accessed = whole(info.ftLastAccessTime);
    metadata->written = whole(info.ftLastWriteTime);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(Handle(file), SE_FILE_OBJECT, kSecurity, nullptr, nullptr, nullptr, nullptr,
                                        &descriptor);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    metadata->securityDescriptor.assign(static_cast<const char*>(descriptor), GetSecurityDescriptorLength(descriptor));
    LocalFree(descriptor);
    return true;
}

struct StoreState {
    std::string path;
    HANDLE dir;    // the folder, held open so that nobody renames or removes it meanwhile
    HANDLE index;  // index.jsonl, once opened; INVALID_HANDLE_VALUE before
};

namespace {

std::string Join(Store store, const std::string& name)
{
    return store->path + (store->path.back() == '\\' ? "" : "\\") + name;
}

// Whether the folder held belongs to the runner, the Administrators or the system. A volume that
// keeps no owners (FAT) has none to test.
bool OperatorsFolder(HANDLE dir, std::string* why)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(dir, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return true;
    bool allowed = owner == nullptr;
    HANDLE token = nullptr;
    if (!allowed && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        union {
            TOKEN_USER user;
            char bytes[256];
        } me;
        DWORD size = 0;
        allowed = GetTokenInformation(token, TokenUser, &me, sizeof me, &size) && EqualSid(owner, me.user.User.Sid);
        CloseHandle(token);
    }
    for (const WELL_KNOWN_SID_TYPE type : {WinBuiltinAdministratorsSid, WinLocalSystemSid}) {
        char sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        allowed = allowed || (CreateWellKnownSid(type, nullptr, sid, &size) && EqualSid(owner, sid));
    }
    LocalFree(descriptor);
    if (!allowed)
        *why = "it belongs to neither this user nor the Administrators";
    return allowed;
}

}  // namespace

bool StoreOpen(const std::string& folder, Store* store, std::string* why)
{
    why->clear();
    HANDLE dir = CreateFileW(Wide(folder).c_str(), FILE_LIST_DIRECTORY | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (dir == INVALID_HANDLE_VALUE) {
        *why = Reason(folder.c_str());
        return false;
    }
    if (!GetFileInformationByHandle(dir, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *why = folder + " is no folder (or a link to one, not followed)";
        CloseHandle(dir);
        return false;
    }
    if (!OperatorsFolder(dir, why)) {
        *why = folder + ": " + *why;
        CloseHandle(dir);
        return false;
    }
    *store = new StoreState{folder, dir, INVALID_HANDLE_VALUE};
    return true;
}

void StoreClose(Store store)
{
    if (store->index != INVALID_HANDLE_VALUE)
        CloseHandle(store->index);
    CloseHandle(store->dir);
    delete store;
}

const std::string& StorePath(Store store)
{
    return store->path;
}

bool StoreEmpty(Store store)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((Wide(store->path) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool empty = true;
    do
        empty = std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0;
    while (empty && FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

bool StoreNames(Store store, std::vector<std::string>* names)
{
    names->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((Wide(store->path) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        char name[4 * MAX_PATH];
        if (Utf16ToWtf8(reinterpret_cast<const uint16_t*>(found.cFileName), std::wcslen(found.cFileName), name, sizeof name))
            names->push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool StoreOpenIndex(Store store, bool create, bool* missing, std::string* why)
{
    *missing = false;
    if (store->index != INVALID_HANDLE_VALUE)
        return true;
    const std::wstring path = Wide(Join(store, kQuarantineIndex));
    *missing = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
    if (*missing && !create) {
        *why = std::string("no ") + kQuarantineIndex;
        return false;
    }
    HANDLE index = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               *missing ? CREATE_NEW : OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (index == INVALID_HANDLE_VALUE) {
        *why = Reason((std::string(kQuarantineIndex) + " cannot be opened").c_str());
        return false;
    }
    if (GetFileType(index) != FILE_TYPE_DISK || !GetFileInformationByHandle(index, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nNumberOfLinks != 1) {
        *why = std::string(kQuarantineIndex) + " is no plain file of one name";
        CloseHandle(index);
        return false;
    }
    store->index = index;
    return true;
}

bool StoreLock(Store store)
{
    OVERLAPPED whole = {};
    return LockFileEx(store->index, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != FALSE;
}

void StoreUnlock(Store store)
{
    OVERLAPPED whole = {};
    UnlockFileEx(store->index, 0, MAXDWORD, MAXDWORD, &whole);
}

namespace {

bool ReadAt(HANDLE file, uint64_t at, char* out, DWORD count, DWORD* got)
{
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    return ReadFile(file, out, count, got, &where) != FALSE || GetLastError() == ERROR_HANDLE_EOF;
}

}  // namespace

bool StoreReadIndex(Store store, uint64_t from, std::string* text, std::string* why)
{
    text->clear();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(store->index, &size)) {
        *why = Reason(kQuarantineIndex);
        return false;
    }
    const auto end = static_cast<uint64_t>(size.QuadPart);
    if (end > kStoreIndexCap) {
        *why = std::string(kQuarantineIndex) + " holds " + std::to_string(end) + " bytes, more than any run writes";
        return false;
    }
    if (from >= end)
        return true;
    text->resize(static_cast<size_t>(end - from));
    for (size_t done = 0; done < text->size();) {
        DWORD got = 0;
        const DWORD count = static_cast<DWORD>(text->size() - done < 65536 ? text->size() - done : 65536);
        if (!ReadAt(store->index, from + done, &(*text)[done], count, &got)) {
            *why = Reason((std::string(kQuarantineIndex) + " cannot be read").c_str());
            return false;
        }
        if (got == 0) {
            text->resize(done);
            break;
        }
        done += got;
    }
    return true;
}

bool StoreAppend(Store store, const std::string& line)
{
    LARGE_INTEGER size;
    char last = '\n';
    DWORD got = 0;
    if (!GetFileSizeEx(store->index, &size) ||
        (size.QuadPart > 0 && !ReadAt(store->index, static_cast<uint64_t>(size.QuadPart) - 1, &last, 1, &got)))
        return false;
    const std::string text = (last == '\n' ? "" : "\n") + line + "\n";
    DWORD put = 0;
    return WriteFile(store->index, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) && put == text.size() &&
           FlushFileBuffers(store->index);
}

bool StoreHolds(Store store, const std::string& name)
{
    const DWORD attributes = GetFileAttributesW(Wide(Join(store, name)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool StoreNameUsed(Store store, const std::string& name)
{
    return GetFileAttributesW(Wide(Join(store, name)).c_str()) != INVALID_FILE_ATTRIBUTES ||
           GetLastError() != ERROR_FILE_NOT_FOUND;
}

bool StoreOpenStored(Store store, const std::string& name, FsFile* file)
{
    return StoreHolds(store, name) && FsOpenFile(Join(store, name).c_str(), file);
}

std::string StorePartName(const std::string& name)
{
    return name + ".part";
}

bool StoreFinishPart(Store store, const std::string& name)
{
    return MoveFileExW(Wide(Join(store, StorePartName(name))).c_str(), Wide(Join(store, name)).c_str(),
                       MOVEFILE_WRITE_THROUGH) != FALSE;
}

FsDisposal StoreTake(Store store, FsFile* file, const std::string& name, char* target, size_t capacity)
{
    return FsDispose(file, store->path.c_str(), false, target, capacity, name.c_str());
}

bool StoreGiveBack(Store store, const FsFile&, const std::string& name, const std::string& path,
                   const FileMetadata& metadata, std::string* why)
{
    why->clear();
    const std::wstring from = Wide(Join(store, name)), to = Wide(path);
    if (from.empty() || to.empty()) {
        *why = "no path Windows takes";
        return false;
    }
    if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
        *why = "a file is in its place (not replaced)";
        return false;
    }
    // One volume: one rename, never over a file, the metadata given once the file is in place.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return Apply(to, metadata, why) || true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE) {
        const DWORD error = GetLastError();
        *why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? "a file is in its place (not replaced)"
                                                                           : Reason("it cannot be moved back");
        return false;
    }
    // Another volume: a copy under a name of the folder's own, put in place (FsPutInPlace), so
    // that no half-copy ever holds the name; the copy an interrupted restore left goes first.
    const std::string temporary = path.substr(0, path.rfind('\\') + 1) + ".qfscan-" + name + ".part";
    const std::wstring wideTemporary = Wide(temporary);
    DeleteFileW(wideTemporary.c_str());
    if (!CopyFileW(from.c_str(), wideTemporary.c_str(), TRUE)) {
        *why = Reason("it cannot be copied back");
        SetFileAttributesW(wideTemporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(wideTemporary.c_str());
        return false;
    }
    if (!FsPutInPlace(temporary.c_str(), path.c_str(), false)) {
        *why = FsTargetExists() ? "a file is in its place (not replaced)" : Reason("the copy cannot be renamed");
        return false;
    }
    Apply(to, metadata, why);
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only would keep it
    if (!DeleteFileW(from.c_str()))
        *why = Reason("the stored file cannot be removed");
    return true;
}
