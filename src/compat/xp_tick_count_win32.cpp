// Windows XP has no GetTickCount64, and the toolchain's thread library, which the C++ run-time's
// exception support pulls in, imports it: the program would not even load there. Defining the
// import here means the linker takes none from kernel32. Every Windows program links this object
// directly (see sources.cmake).
//
// The thread library uses it for timed waits: a wait that wakes early waits again for what is
// left of it, end minus now. The walk's frontier waits 20 ms at a time (std::condition_variable's
// wait_for), so the count must not wrap: GetTickCount's 32 bits do after 49.7 days, and a wait
// begun just before would then be left with (end - now) near 2^32 ms, forever in effect. The
// performance counter, which XP has and which counts 64 bits, gives milliseconds that never wrap.
#include <windows.h>

namespace {

ULONGLONG WINAPI TickCount64()
{
    LARGE_INTEGER frequency, now;
    if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&now) || frequency.QuadPart <= 0)
        return GetTickCount();  // never on XP or later, where both always succeed
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.QuadPart), rate = static_cast<ULONGLONG>(frequency.QuadPart);
    return ticks / rate * 1000 + ticks % rate * 1000 / rate;
}

}  // namespace

#ifdef _WIN64
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp__GetTickCount64@0");
#endif
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() = TickCount64;
