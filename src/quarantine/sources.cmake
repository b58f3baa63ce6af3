# The quarantine of qfscan --move: its index and restore in the core, its file work per platform.
list(APPEND QF_PORTABLE_SOURCES src/quarantine/quarantine.cpp)
list(APPEND QF_WIN32_SOURCES src/quarantine/store_win32.cpp)
list(APPEND QF_POSIX_SOURCES src/quarantine/store_posix.cpp)
