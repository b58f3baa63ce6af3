// Windows XP has no GetTickCount64, and the toolchain's thread library, which the C++ run-time's
// exception support pulls in, imports it: the program would not even load there. Defining the
// import here means the linker takes none from kernel32. Its only use there is timed waits, which
// this program never makes. Every Windows program links this object directly (see sources.cmake).
#include <windows.h>

namespace {

ULONGLONG WINAPI TickCount64()
{
    return GetTickCount();
}

}  // namespace

#ifdef _WIN64
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp__GetTickCount64@0");
#endif
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() = TickCount64;
