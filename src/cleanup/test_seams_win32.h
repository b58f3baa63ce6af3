// A hook for the test that races the autorun repair. Like the walk's hooks (fs/test_seams.h) it
// exists only in the test builds (QF_TEST_SEAMS). Off unless the environment names it, and it
// changes only what the registry holds when the repair reads it, never what the repair decides.
//
//   QF_TEST_RUN_GROWS=NAME  once the Run key holding a value of that name has been measured, the
//                           value grows past that measure (a long argument is appended to its
//                           text), as if another program wrote it before the repair read it
#pragma once

#include <windows.h>

#ifdef QF_TEST_SEAMS
// Grows the value the seam names in key, once per process; returns at once when the seam is off.
void GrowRunValueAfterMeasure(HKEY key);
#else
inline void GrowRunValueAfterMeasure(HKEY) {}
#endif
