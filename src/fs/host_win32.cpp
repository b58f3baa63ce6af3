// This machine's name and the time, on Windows.
#include "fs/host.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "text/unicode.h"

std::string HostName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    char text[4 * (MAX_COMPUTERNAME_LENGTH + 1)];
    return GetComputerNameW(name, &length) &&
                   Utf16ToWtf8(reinterpret_cast<const uint16_t*>(name), length, text, sizeof text)
               ? text
               : "";
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
