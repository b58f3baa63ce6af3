// The console scanner's platform needs on Windows.
#include "console/console_platform.h"

#include <windows.h>

#include <io.h>

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cleanup/cleanup_win32.h"
#include "console/report.h"
#include "fs/file_system.h"
#include "text/unicode.h"

namespace {

std::atomic<int>* interruptFlag;

BOOL WINAPI OnInterrupt(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
        event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    interruptFlag->store(1);
    return TRUE;
}

}  // namespace

void ConsoleStart(int* argc, char*** argv)
{
    // A DLL loaded late must never come from the current directory, least of all into a process
    // that holds the debug privilege.
    SetDllDirectoryA("");
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return;  // the code page's arguments, as the run-time made them
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    for (int i = 0; i < count; ++i) {
        const size_t units = std::wcslen(wide[i]);
        std::string text(units * 3 + 1, '\0');
        Utf16ToWtf8(reinterpret_cast<const uint16_t*>(wide[i]), units, &text[0], text.size());
        text.resize(std::strlen(text.c_str()));
        texts.push_back(text);
    }
    LocalFree(wide);
    for (std::string& text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
}

bool StderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

uint64_t MonotonicMs()
{
    return GetTickCount();  // wraps after 49 days; differences stay right below that
}

bool ConsoleWrite(FILE* stream, const std::string& text)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
    // A console shows its own UTF-16 text; bytes would be read in its code page.
    std::fflush(stream);
    std::vector<uint16_t> wide(text.size() + 1);
    size_t units = 0;
    if (!Wtf8ToUtf16(text.c_str(), wide.data(), wide.size(), &units))
        return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
    for (size_t done = 0; done < units;) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(units - done < 8192 ? units - done : 8192);
        if (!WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

void CatchInterrupt(std::atomic<int>* interrupt)
{
    interruptFlag = interrupt;
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

bool FolderChain(const std::string& folder, std::vector<FolderId>* chain)
{
    // Each folder of the full path, by volume serial and file index; XP has no final-path call,
    // so the ancestors are those of the text.
    chain->clear();
    std::vector<char> full(kFsPathCapacity);
    if (!FsFullPath(folder.c_str(), full.data(), full.size()))
        return false;
    for (std::string at = full.data();;) {
        FsDir dir;
        FsFileId id;
        if (!FsOpenDirectory(at.c_str(), &dir, &id))
            return !chain->empty();
        FsCloseDirectory(dir);
        chain->push_back({id.volume, id.file});
        while (!at.empty() && at.back() == '\\')
            at.pop_back();
        const size_t cut = at.rfind('\\');
        if (cut == std::string::npos || cut + 1 >= at.size())
            return true;
        at.resize(cut + 1);
    }
}

bool ResolveFile(std::string*)
{
    return true;  // FsOpenFile follows a link at the end, as Windows does when it starts a program
}

int RunSystemCleanup(const std::string& moveDir, Report* report)
{
    EnableDebugPrivilege();  // without it the pass runs on with the access it has, as the window does
    CleanupChanges changes;
    const int outcome = RunCleanupPass(moveDir.empty() ? nullptr : moveDir.c_str(), &changes);
    // A change refused in the first round is refused again in the next two: it is said once.
    for (size_t i = 0; i < changes.size(); ++i) {
        const CleanupChange& change = changes[i];
        bool said = false;
        for (size_t j = 0; j < i && !said; ++j)
            said = changes[j].place == change.place && changes[j].change == change.change && changes[j].done == change.done;
        if (!said)
            ReportChange(report, change.place, change.change, change.done, change.error, false);
    }
    return outcome;
}

bool RunningAsAdministrator()
{
    // A token that UAC filtered holds the group for denying only, which this check does not count;
    // XP has the same call, without UAC.
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

bool OfflineSupported()
{
    return false;
}

bool OfflineRepair(const OfflineRequest&, Report*)
{
    return false;
}

bool RescueVolumeBegin(const RescueOptions&, Report*, RescueVolumeRun*, int* exitCode)
{
    *exitCode = kExitError;  // the rescue is a Linux system; qfscan refuses these options first
    return false;
}

int RescueVolumeEnd(const RescueOptions&, Report*, RescueVolumeRun*, bool)
{
    return kExitError;
}

int RescueSummary(const RescueOptions&)
{
    return kExitError;
}
