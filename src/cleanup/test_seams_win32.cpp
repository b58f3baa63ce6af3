// The autorun repair's test hook.
#include "cleanup/test_seams_win32.h"

#include <string>

void GrowRunValueAfterMeasure(HKEY key)
{
    static bool grown = false;
    wchar_t name[256];
    const DWORD length = GetEnvironmentVariableW(L"QF_TEST_RUN_GROWS", name, 256);
    if (grown || length == 0 || length >= 256)
        return;
    wchar_t data[1024];
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return;
    data[size / sizeof(wchar_t)] = L'\0';
    const std::wstring longer = std::wstring(data) + L" " + std::wstring(4000, L'a');
    grown = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(longer.c_str()),
                           static_cast<DWORD>((longer.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}
