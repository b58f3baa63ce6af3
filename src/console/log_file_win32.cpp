// The log file and the run's host and times on Windows.
#include "console/log_file.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "fs/file_system.h"
#include "text/unicode.h"

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
std::string logPath;
bool logTorn;  // the log ended inside a line: this run's first record starts a new one

std::string LastErrorText()
{
    char text[256];
    FsErrorText(FsLastError(), text, sizeof text);
    return text;
}

// Why this file is no log; null for a plain file.
const char* NotALog(const BY_HANDLE_FILE_INFORMATION& info)
{
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link or another reparse point, which a log is never reached through";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a folder";
    // Another name is another user's way to point an administrator's log elsewhere.
    if (info.nNumberOfLinks != 1 && RunningAsAdministrator())
        return "a file with more than one name (a hard link)";
    return nullptr;
}

// Whether the file ends in a line feed (or is empty); true when it cannot be told.
bool EndsLine(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info)
{
    const uint64_t size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    if (size == 0)
        return true;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size - 1);
    at.OffsetHigh = static_cast<DWORD>((size - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    return !ReadFile(handle, &last, 1, &got, &at) || got != 1 || last == '\n';
}

}  // namespace

bool LogOpen(const std::string& path, std::string* error)
{
    std::vector<uint16_t> wide(path.size() + 1);
    size_t units = 0;
    if (!Wtf8ToUtf16(path.c_str(), wide.data(), wide.size(), &units)) {
        *error = "not a name Windows can hold";
        return false;
    }
    const wchar_t* name = reinterpret_cast<const wchar_t*>(wide.data());
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end, also on a share that
    // others append to. Reading finds a torn last line. A link is opened as itself, and refused.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE handle = CreateFileW(name, FILE_APPEND_DATA | FILE_READ_DATA, share, nullptr, OPEN_ALWAYS, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileW(name, FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD attributes = GetFileAttributesW(name);
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        *error = folder ? "a folder" : LastErrorText();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    const bool known = disk && GetFileInformationByHandle(handle, &info) != FALSE;
    const char* refused = !disk ? "a device or a pipe, not a file" : known ? NotALog(info) : nullptr;
    if (!known || refused != nullptr) {
        *error = refused != nullptr ? refused : LastErrorText();
        CloseHandle(handle);
        return false;
    }
    logTorn = !EndsLine(handle, info);
    logFile = handle;
    logPath = path;
    return true;
}

bool LogText(const std::string& text, std::string* error)
{
    if (logFile == INVALID_HANDLE_VALUE)
        return true;
    // CRLF, as the console's text stream writes it.
    std::string record = logTorn ? "\r\n" : "";
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        record.append(text, at, end == std::string::npos ? std::string::npos : end - at).append("\r\n");
        at = end == std::string::npos ? text.size() : end + 1;
    }
    if (text.empty())
        record += "\r\n";
    DWORD written = 0;
    const bool wrote = WriteFile(logFile, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) != FALSE;
    if (wrote && written == record.size()) {
        logTorn = false;
        return true;
    }
    *error = logPath + ": the log could not be written: " +
             (wrote ? "only " + std::to_string(written) + " of " + std::to_string(record.size()) + " bytes"
                    : LastErrorText());
    CloseHandle(logFile);
    logFile = INVALID_HANDLE_VALUE;
    return false;
}

namespace {

const wchar_t kEventSource[] = L"Quenfold";
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quenfold";
HANDLE eventSource = nullptr;

std::wstring Wide(const std::string& text)
{
    std::vector<uint16_t> wide(text.size() + 1);
    size_t units = 0;
    if (!Wtf8ToUtf16(text.c_str(), wide.data(), wide.size(), &units))
        return L"?";
    return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), units);
}

std::string ErrorText(LONG error)
{
    char text[256];
    FsErrorText(static_cast<int>(error), text, sizeof text);
    return text;
}

// The event source names this program as its message file; where it names another (an older
// copy elsewhere) and may not be changed, that one serves.
bool RegisterSource(std::string* error)
{
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        *error = "this program's own path cannot be told";
        return false;
    }
    HKEY key;
    wchar_t named[MAX_PATH + 1] = L"";
    DWORD size = sizeof named - sizeof(wchar_t);
    const bool registered = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
    if (registered) {
        if (RegQueryValueExW(key, L"EventMessageFile", nullptr, nullptr, reinterpret_cast<BYTE*>(named), &size) != ERROR_SUCCESS)
            named[0] = L'\0';
        RegCloseKey(key);
        if (lstrcmpiW(named, program) == 0)
            return true;
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program),
                                (length + 1) * sizeof(wchar_t));
        if (status == ERROR_SUCCESS)
            status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
        RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS || (registered && named[0] != L'\0'))
        return true;
    *error = "the event source Quenfold is not registered, and registering it was refused (" + ErrorText(status) +
             "): run qfscan --event-log once as an administrator";
    return false;
}

}  // namespace

bool SystemLogOpen(std::string* error)
{
    if (!RegisterSource(error))
        return false;
    eventSource = RegisterEventSourceW(nullptr, kEventSource);
    if (eventSource == nullptr)
        *error = "the event log cannot be opened: " + ErrorText(static_cast<LONG>(GetLastError()));
    return eventSource != nullptr;
}

void SystemLogWrite(SystemLogEvent event, const std::string& text, const std::string& record)
{
    if (eventSource == nullptr)
        return;
    const WORD type = event == SystemLogEvent::NotRemoved || event == SystemLogEvent::ChangeRefused ? EVENTLOG_ERROR_TYPE
                      : event == SystemLogEvent::ScanFinished                                        ? EVENTLOG_INFORMATION_TYPE
                                                                                                     : EVENTLOG_WARNING_TYPE;
    const std::wstring wideText = Wide(text), wideRecord = Wide(record);
    const wchar_t* strings[] = {wideText.c_str(), wideRecord.c_str()};
    ReportEventW(eventSource, type, 0, static_cast<DWORD>(event), nullptr, 2, 0, strings, nullptr);
}
