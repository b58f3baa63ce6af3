# 64-bit Windows: the same sources, for running the Windows tests where the machine cannot run
# 32-bit code (see tools/test-arch.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QF_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
