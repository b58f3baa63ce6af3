// The autorun repair: removes infected programs named in the two Run keys together with their
// values, and points Userinit back at this machine's own logon program.
#include <windows.h>

#include "fs/file_system.h"
#include "cleanup/cleanup.h"
#include "cleanup/cleanup_rules.h"
#include "detect/infection.h"

namespace {

const char kMachineRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUserRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kLogonProgram[] = "\\userinit.exe";

// The enumeration buffers of one CleanRunKey call: large enough for the key's longest value
// name and data as the key reports them, and never smaller than a path.
struct RunKeyBuffers {
    HLOCAL nameBlock;
    HLOCAL dataBlock;
    char* name;
    char* data;
    DWORD nameCapacity;
    DWORD dataCapacity;  // one byte less than the block, which keeps room for a NUL
};

bool AllocateBlock(DWORD size, HLOCAL* block, char** bytes)
{
    *block = LocalAlloc(LMEM_MOVEABLE, size);
    *bytes = *block != nullptr ? static_cast<char*>(LocalLock(*block)) : nullptr;
    return *bytes != nullptr;
}

void ReleaseBlock(HLOCAL block)
{
    if (block == nullptr)
        return;
    LocalUnlock(block);
    LocalFree(block);
}

void ReleaseRunKeyBuffers(RunKeyBuffers* buffers)
{
    ReleaseBlock(buffers->dataBlock);
    ReleaseBlock(buffers->nameBlock);
}

bool AllocateRunKeyBuffers(HKEY key, RunKeyBuffers* buffers)
{
    *buffers = RunKeyBuffers{};
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        longestName = longestData = 0;
    // Lengths come in characters of the registry's own text; an ANSI character of a double-byte
    // code page can take two bytes for one of them.
    buffers->nameCapacity = longestName < kPathCapacity / 2 ? static_cast<DWORD>(kPathCapacity) : 2 * longestName + 2;
    buffers->dataCapacity = longestData < kPathCapacity ? static_cast<DWORD>(kPathCapacity) : longestData + 2;
    if (AllocateBlock(buffers->nameCapacity, &buffers->nameBlock, &buffers->name) &&
        AllocateBlock(buffers->dataCapacity + 1, &buffers->dataBlock, &buffers->data))
        return true;
    ReleaseRunKeyBuffers(buffers);
    return false;
}

// Derives the program from one value's data: REG_EXPAND_SZ text has its environment references
// expanded first. data holds size bytes and has room for one byte more.
bool ProgramOfValue(DWORD type, char* data, DWORD size, char* path)
{
    if (type != REG_EXPAND_SZ)
        return DeriveProgramPath(data, size, path, kPathCapacity);
    data[BoundedTextLength(data, size)] = '\0';
    const DWORD needed = ExpandEnvironmentStringsA(data, nullptr, 0);
    if (needed == 0)
        return false;
    HLOCAL block;
    char* expanded;
    bool derived = false;
    if (AllocateBlock(needed + 1, &block, &expanded)) {
        const DWORD written = ExpandEnvironmentStringsA(data, expanded, needed + 1);
        derived = written != 0 && written <= needed + 1 &&
                  DeriveProgramPath(expanded, written, path, kPathCapacity);
    }
    ReleaseBlock(block);
    return derived;
}

// Makes path (kPathCapacity bytes) the file a logon would start, found without the current
// directory: a bare name is looked for in the system directory, the Windows directory and the
// folders of PATH, in that order. False when it names no file there, or cannot be told without
// the current directory; then nothing may be done with it.
bool ResolveProgram(char* path)
{
    switch (ClassifyProgramPath(path)) {
    case ProgramPathForm::Absolute: return true;
    case ProgramPathForm::Relative: return false;
    case ProgramPathForm::BareName: break;
    }
    char name[kPathCapacity];
    char system[kPathCapacity];
    char windows[kPathCapacity];
    lstrcpynA(name, path, sizeof name);
    const UINT systemLength = GetSystemDirectoryA(system, sizeof system);
    const UINT windowsLength = GetWindowsDirectoryA(windows, sizeof windows);
    if (systemLength == 0 || systemLength >= sizeof system || windowsLength == 0 || windowsLength >= sizeof windows)
        return false;
    HLOCAL block = nullptr;
    char* pathList = nullptr;
    const DWORD listSize = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (listSize == 0 || !AllocateBlock(listSize + 1, &block, &pathList) ||
        GetEnvironmentVariableA("PATH", pathList, listSize + 1) > listSize) {
        ReleaseBlock(block);
        block = nullptr;
        pathList = const_cast<char*>("");
    }
    bool found = false;
    for (size_t index = 0; !found; ++index) {
        const SearchStep step = ProgramSearchPlace(name, system, windows, pathList, index, path, kPathCapacity);
        if (step == SearchStep::End)
            break;
        const DWORD attributes = step == SearchStep::Built ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
        found = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    ReleaseBlock(block);
    return found;
}

// Writes Userinit as this machine's logon program, in the system directory the platform reports;
// kCleanupRefused when the key may not be written.
int RestoreUserinit()
{
    char program[kPathCapacity];
    const UINT length = GetSystemDirectoryA(program, sizeof program);
    if (length == 0 || length + sizeof kLogonProgram > sizeof program)
        return 0;
    lstrcatA(program, kLogonProgram);
    HKEY key;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_WRITE, &key);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND ? 0 : kCleanupRefused;
    const LONG written = RegSetValueExA(key, "Userinit", 0, REG_SZ, reinterpret_cast<const BYTE*>(program),
                                        lstrlenA(program) + 1);
    RegCloseKey(key);
    return written == ERROR_SUCCESS ? 0 : kCleanupRefused;
}

int CleanRunKeyAt(HKEY root, const char* subkey)
{
    HKEY key;
    if (RegOpenKeyA(root, subkey, &key) != ERROR_SUCCESS)
        return 0;
    const int found = CleanRunKey(key);
    RegCloseKey(key);
    return found;
}

}  // namespace

int CleanRunKey(HKEY key)
{
    RunKeyBuffers buffers;
    if (!AllocateRunKeyBuffers(key, &buffers))
        return 0;
    int found = 0;
    DWORD index = 0;
    for (;;) {
        DWORD nameSize = buffers.nameCapacity;
        DWORD dataSize = buffers.dataCapacity;
        DWORD type = REG_NONE;
        const LONG status = RegEnumValueA(key, index, buffers.name, &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffers.data), &dataSize);
        if (status == ERROR_MORE_DATA) {
            ++index;  // grew since the key was measured: passed over, the walk goes on
            continue;
        }
        if (status != ERROR_SUCCESS)
            break;
        if (dataSize > buffers.dataCapacity)
            dataSize = buffers.dataCapacity;
        char path[kPathCapacity];
        if (ProgramOfValue(type, buffers.data, dataSize, path) && ResolveProgram(path) && IsInfectedExecutable(path)) {
            found |= kCleanupFound;
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE);
            if (!DeleteFileA(path))
                found |= kCleanupRefused;
            // The values after a deleted one move down by one index: the next one is now at this
            // index. Only a value that stays is stepped over.
            if (RegDeleteValueA(key, buffers.name) == ERROR_SUCCESS)
                continue;
            found |= kCleanupRefused;
        }
        ++index;
    }
    ReleaseRunKeyBuffers(&buffers);
    return found;
}

int RepairAutorun()
{
    int found = CleanRunKeyAt(HKEY_LOCAL_MACHINE, kMachineRunKey);
    found |= CleanRunKeyAt(HKEY_CURRENT_USER, kUserRunKey);
    return found | RestoreUserinit();
}
