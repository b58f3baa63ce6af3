// The autorun repair: removes infected programs named in the two Run keys (deleted, or stored in
// the quarantine) together with their values, and points Userinit back at this machine's own
// logon program.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "fs/file_system.h"
#include "text/unicode.h"
#include "text/windows_names.h"
#include "cleanup/cleanup_win32.h"
#include "cleanup/cleanup_rules.h"
#include "cleanup/test_seams_win32.h"

namespace {

const wchar_t kMachineRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kUserRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kLogonProgram[] = "\\userinit.exe";
// How often one value is read again when it keeps growing between the measure and the read.
const int kRereads = 8;

// The enumeration buffers of one CleanRunKey call, in UTF-16 units: large enough for the key's
// longest value name and data as the key reports them (and for dataAtLeast bytes of data), and
// never smaller than a path.
struct RunKeyBuffers {
    HLOCAL nameBlock;
    HLOCAL dataBlock;
    wchar_t* name;
    wchar_t* data;
    DWORD nameCapacity;  // units
    DWORD dataCapacity;  // bytes, one unit less than the block, which keeps room for a NUL
};

bool AllocateBlock(DWORD size, HLOCAL* block, void** bytes)
{
    *block = LocalAlloc(LMEM_MOVEABLE, size);
    *bytes = *block != nullptr ? LocalLock(*block) : nullptr;
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

bool AllocateRunKeyBuffers(HKEY key, DWORD dataAtLeast, RunKeyBuffers* buffers)
{
    *buffers = RunKeyBuffers{};
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        longestName = longestData = 0;
    GrowRunValueAfterMeasure(key);
    if (longestData < dataAtLeast)
        longestData = dataAtLeast;
    if (longestData > MAXDWORD - 8)
        return false;  // the sizes below would wrap
    buffers->nameCapacity = longestName < kProgramPathCapacity ? static_cast<DWORD>(kProgramPathCapacity) : longestName + 1;
    buffers->dataCapacity = longestData < 2 * kProgramPathCapacity ? static_cast<DWORD>(2 * kProgramPathCapacity) : longestData + 2;
    void* name = nullptr;
    void* data = nullptr;
    if (AllocateBlock(buffers->nameCapacity * sizeof(wchar_t), &buffers->nameBlock, &name) &&
        AllocateBlock(buffers->dataCapacity + sizeof(wchar_t), &buffers->dataBlock, &data)) {
        buffers->name = static_cast<wchar_t*>(name);
        buffers->data = static_cast<wchar_t*>(data);
        return true;
    }
    ReleaseRunKeyBuffers(buffers);
    return false;
}

// The units of registry text up to its first NUL, or all count units when it holds none.
size_t BoundedWideLength(const wchar_t* text, size_t count)
{
    size_t units = 0;
    while (units < count && text[units] != L'\0')
        ++units;
    return units;
}

// Wide text to the layer's UTF-8; empty when it does not convert.
std::string Utf8Of(const wchar_t* text, size_t units)
{
    std::string out(units * 3 + 1, '\0');
    if (!Utf16ToWtf8(reinterpret_cast<const uint16_t*>(text), units, &out[0], out.size()))
        return std::string();
    out.resize(std::strlen(out.c_str()));
    return out;
}

// One registry view of the machine's keys, as the repair visits it.
struct KeyView {
    REGSAM flag;        // KEY_WOW64_64KEY or KEY_WOW64_32KEY; 0 on 32-bit Windows, which has one view
    const char* name;   // how a change names it after the key: " (64-bit view)"; "" on 32-bit Windows
    ProgramView paths;  // how the programs its values name see the file system
    bool logonView;     // Winlogon reads Userinit here: written even where no value stands
};

const ProgramView kOwnPaths{"", "", ""};

bool On64BitWindows()
{
#ifdef _WIN64
    return true;
#else
    // Looked up by name: Windows XP before SP2 has no IsWow64Process, and runs only 32-bit there.
    using IsWow64ProcessCall = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64 =
        reinterpret_cast<IsWow64ProcessCall>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process"));
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
#endif
}

// The views of the machine's keys, the 64-bit one first; 32-bit Windows has only the one.
size_t MachineViews(KeyView views[2])
{
    if (!On64BitWindows()) {
        views[0] = {0, "", kOwnPaths, true};
        return 1;
    }
#ifdef _WIN64
    views[0] = {KEY_WOW64_64KEY, " (64-bit view)", kOwnPaths, true};
    views[1] = {KEY_WOW64_32KEY, " (32-bit view)", {"SysWOW64", "ProgramFiles(x86)", "CommonProgramFiles(x86)"}, false};
#else
    views[0] = {KEY_WOW64_64KEY, " (64-bit view)", {"Sysnative", "ProgramW6432", "CommonProgramW6432"}, true};
    views[1] = {KEY_WOW64_32KEY, " (32-bit view)", kOwnPaths, false};
#endif
    return 2;
}

// The text of one value's data (size bytes): REG_EXPAND_SZ has its environment references
// expanded first, with the view's %ProgramFiles% for this process's. data has room for one unit
// more.
std::string TextOfValue(DWORD type, wchar_t* data, DWORD size, const ProgramView& view)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
        // Other types come as their bytes, which are read as text of the code page all the same.
        const char* bytes = reinterpret_cast<const char*>(data);
        const size_t length = BoundedTextLength(bytes, size);
        std::wstring wide(length + 1, L'\0');
        const int units = length != 0 ? MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(length), &wide[0],
                                                            static_cast<int>(wide.size()))
                                      : 0;
        return Utf8Of(wide.c_str(), units > 0 ? static_cast<size_t>(units) : 0);
    }
    const size_t units = BoundedWideLength(data, size / sizeof(wchar_t));
    data[units] = L'\0';
    if (type != REG_EXPAND_SZ)
        return Utf8Of(data, units);
    const std::string text = ViewReferences(Utf8Of(data, units), view);
    std::vector<uint16_t> renamed(text.size() + 1);
    size_t renamedUnits = 0;
    if (!Wtf8ToUtf16(text.c_str(), renamed.data(), renamed.size(), &renamedUnits))
        return std::string();
    const wchar_t* references = reinterpret_cast<const wchar_t*>(renamed.data());
    const DWORD needed = ExpandEnvironmentStringsW(references, nullptr, 0);
    std::wstring expanded(needed + 1, L'\0');
    const DWORD written = needed != 0 ? ExpandEnvironmentStringsW(references, &expanded[0], needed + 1) : 0;
    return written != 0 && written <= needed + 1 ? Utf8Of(expanded.c_str(), written - 1) : std::string();
}

std::string SystemFolder(bool windows)
{
    wchar_t folder[kProgramPathCapacity];
    const UINT length = windows ? GetWindowsDirectoryW(folder, kProgramPathCapacity) : GetSystemDirectoryW(folder, kProgramPathCapacity);
    return length != 0 && length < kProgramPathCapacity ? Utf8Of(folder, length) : std::string();
}

// Makes path the file a logon would start, found without the current directory: a bare name
// is looked for in the system directory, the Windows directory and the folders of PATH, in
// that order; each place as the view's programs see it. False when it names no file there, or
// cannot be told without the current directory; then nothing may be done with it.
bool ResolveProgram(std::string* path, const ProgramView& view)
{
    const std::string windows = SystemFolder(true);
    switch (ClassifyProgramPath(path->c_str())) {
    case ProgramPathForm::Absolute:
        *path = ViewPath(*path, windows, view);
        return FsIsFile(path->c_str());
    case ProgramPathForm::Relative: return false;
    case ProgramPathForm::BareName: break;
    }
    const std::string name = *path, system = SystemFolder(false);
    if (system.empty() || windows.empty())
        return false;
    const DWORD listSize = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring wideList(listSize + 1, L'\0');
    const DWORD listLength = listSize != 0 ? GetEnvironmentVariableW(L"PATH", &wideList[0], listSize + 1) : 0;
    const std::string pathList = listLength != 0 && listLength <= listSize ? Utf8Of(wideList.c_str(), listLength) : "";
    std::vector<char> place(kFsPathCapacity);
    for (size_t index = 0;; ++index) {
        const SearchStep step =
            ProgramSearchPlace(name.c_str(), system.c_str(), windows.c_str(), pathList.c_str(), index, place.data(), place.size());
        if (step == SearchStep::End)
            return false;
        if (step != SearchStep::Built)
            continue;
        const std::string seen = ViewPath(place.data(), windows, view);
        if (FsIsFile(seen.c_str())) {
            *path = seen;
            return true;
        }
    }
}

// The program that a Run value's text starts, found as a logon finds it: each candidate in turn
// (an unquoted path may end at any of its spaces) until one names a file. One that depends on the
// current directory ends the search: which file the logon would start cannot be told then.
bool FindProgramOfText(const std::string& text, const ProgramView& view, std::string* path)
{
    std::vector<char> candidate(kFsPathCapacity);
    for (size_t index = 0;; ++index) {
        const SearchStep step = ProgramPathCandidate(text.data(), text.size(), index, candidate.data(), candidate.size());
        if (step == SearchStep::End)
            return false;
        if (step != SearchStep::Built)
            continue;
        *path = candidate.data();
        if (ClassifyProgramPath(path->c_str()) == ProgramPathForm::Relative)
            return false;
        if (ResolveProgram(path, view))
            return true;
    }
}

// Whether key holds a Userinit value; *text its text without Windows' own trailing comma, empty
// when it holds none.
bool ReadUserinit(HKEY key, std::string* text)
{
    text->clear();
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key, L"Userinit", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if ((type == REG_SZ || type == REG_EXPAND_SZ) &&
        RegQueryValueExW(key, L"Userinit", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS)
        *text = Utf8Of(data.data(), BoundedWideLength(data.data(), size / sizeof(wchar_t)));
    if (!text->empty() && text->back() == ',')
        text->pop_back();
    return true;
}

// Writes Userinit in one view as this machine's logon program, in the system directory the
// platform reports (the name 64-bit Windows gives its own too). One that names that program
// already (in any letter case) stays; in a view Winlogon does not read, only a value that stands
// is repaired. kCleanupRefused when the key may not be written.
int RestoreUserinit(const KeyView& view, CleanupChanges* changes)
{
    const std::string system = SystemFolder(false), logon = system + kLogonProgram;
    std::vector<uint16_t> wide(logon.size() + 1);
    size_t units = 0;
    if (system.empty() || !Wtf8ToUtf16(logon.c_str(), wide.data(), wide.size(), &units))
        return 0;
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_QUERY_VALUE | view.flag, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    std::string current;
    const bool stands = status == ERROR_SUCCESS && ReadUserinit(key, &current);
    if (status == ERROR_SUCCESS)
        RegCloseKey(key);
    if ((stands && SameName(current, logon)) ||
        (status == ERROR_SUCCESS && !stands && !view.logonView))
        return 0;
    status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_SET_VALUE | view.flag, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, L"Userinit", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.data()),
                                static_cast<DWORD>((units + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    NoteCleanupChange(changes, std::string("HKLM\\") + kWinlogonKey + view.name,
                      "Userinit set to \"" + logon + "\"" + (stands ? " (was \"" + current + "\")" : ""),
                      status == ERROR_SUCCESS, CleanupErrorText(status));
    return status == ERROR_SUCCESS ? 0 : kCleanupRefused;
}

int CleanRunKeyAt(HKEY root, const char* rootName, const wchar_t* subkey, const KeyView& view, const char* moveFolder,
                  CleanupChanges* changes)
{
    HKEY key;
    // With the access the key grants: where its values may not be deleted, what they start is
    // still found and named, and the deletes are refused.
    if (RegOpenKeyExW(root, subkey, 0, MAXIMUM_ALLOWED | view.flag, &key) != ERROR_SUCCESS)
        return 0;
    const int found = CleanRunKey(key, rootName + Utf8Of(subkey, std::wcslen(subkey)) + view.name, view.paths,
                                  moveFolder, changes);
    RegCloseKey(key);
    return found;
}

}  // namespace

int CleanRunKey(HKEY key, const std::string& place, const ProgramView& view, const char* moveFolder,
                CleanupChanges* changes)
{
    RunKeyBuffers buffers;
    if (!AllocateRunKeyBuffers(key, 0, &buffers))
        return 0;
    int found = 0;
    DWORD index = 0;
    int rereads = 0;
    for (;;) {
        DWORD nameSize = buffers.nameCapacity;
        DWORD dataSize = buffers.dataCapacity;
        DWORD type = REG_NONE;
        const LONG status = RegEnumValueW(key, index, buffers.name, &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffers.data), &dataSize);
        if (status == ERROR_MORE_DATA) {
            // It grew since the key was measured: read it again with room for the size it now
            // asks for (or the key's new longest). One that keeps growing is left for the next
            // round of the cleanup.
            const DWORD asked = dataSize > buffers.dataCapacity ? dataSize : 0;
            ReleaseRunKeyBuffers(&buffers);
            if (!AllocateRunKeyBuffers(key, asked, &buffers))
                return found;
            if (++rereads > kRereads) {
                rereads = 0;
                ++index;
            }
            continue;
        }
        rereads = 0;
        if (status != ERROR_SUCCESS)
            break;
        if (dataSize > buffers.dataCapacity)
            dataSize = buffers.dataCapacity;
        std::string path, why;
        FsFile program;
        int infected = 0;
        if (FindProgramOfText(TextOfValue(type, buffers.data, dataSize, view), view, &path) &&
            FsOpenFile(path.c_str(), &program))
            infected = DisposeWormFile(&program, true, path.c_str(), kRunProgramWhy, moveFolder, &why);
        if (infected != 0) {
            found |= infected;
            NoteCleanupChange(changes, path, DisposalText(kRunProgramWhy, moveFolder), (infected & kCleanupRefused) == 0,
                              why);
            const LONG deleted = RegDeleteValueW(key, buffers.name);
            NoteCleanupChange(changes, place,
                              "value \"" + Utf8Of(buffers.name, std::wcslen(buffers.name)) + "\" deleted: it starts " +
                                  path + ", which is infected",
                              deleted == ERROR_SUCCESS, CleanupErrorText(deleted));
            // The values after a deleted one move down by one index: the next one is now at this
            // index. Only a value that stays is stepped over.
            if (deleted == ERROR_SUCCESS)
                continue;
            found |= kCleanupRefused;
        }
        ++index;
    }
    ReleaseRunKeyBuffers(&buffers);
    return found;
}

int RepairAutorun(const char* moveFolder, CleanupChanges* changes)
{
    KeyView views[2];
    const size_t count = MachineViews(views);
    int found = 0;
    for (size_t i = 0; i < count; ++i)
        found |= CleanRunKeyAt(HKEY_LOCAL_MACHINE, "HKLM\\", kMachineRunKey, views[i], moveFolder, changes);
    // One key for both kinds of program: 64-bit Windows starts them as it starts those of its own view.
    const KeyView user{0, "", views[0].paths, true};
    found |= CleanRunKeyAt(HKEY_CURRENT_USER, "HKCU\\", kUserRunKey, user, moveFolder, changes);
    for (size_t i = 0; i < count; ++i)
        found |= RestoreUserinit(views[i], changes);
    return found;
}
