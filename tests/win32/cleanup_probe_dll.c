/* A do-nothing DLL that the cleanup tests copy under the runtime library's name and load into
   helper processes, so that their module lists name it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

__declspec(dllexport) int QfCleanupProbe(void)
{
    return 42;
}
