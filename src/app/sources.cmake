list(APPEND QF_PORTABLE_SOURCES)
list(APPEND QF_WIN32_SOURCES src/app/file_system_win32.cpp src/app/scan_context.cpp)
list(APPEND QF_POSIX_SOURCES src/app/file_system_posix.cpp)
