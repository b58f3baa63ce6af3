// The log file and the run's host and times on Windows.
#include "console/fleet.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "fs/file_system.h"
#include "fs/unicode.h"

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;

}  // namespace

bool LogOpen(const std::string& path, std::string* error)
{
    std::vector<uint16_t> wide(path.size() + 1);
    size_t units = 0;
    if (Wtf8ToUtf16(path.c_str(), wide.data(), wide.size(), &units)) {
        // FILE_APPEND_DATA alone: every write lands at the end, also on a share that others append to.
        logFile = CreateFileW(reinterpret_cast<const wchar_t*>(wide.data()), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (logFile != INVALID_HANDLE_VALUE)
            return true;
    }
    char text[256];
    FsErrorText(FsLastError(), text, sizeof text);
    *error = text;
    return false;
}

void LogText(const std::string& text)
{
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        // CRLF, as the console's text stream writes it.
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at) + "\r\n";
        at = end == std::string::npos ? text.size() : end + 1;
        DWORD written = 0;
        WriteFile(logFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

std::string HostName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "";
}

std::string UtcTimestamp()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}
