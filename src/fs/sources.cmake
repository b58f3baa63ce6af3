list(APPEND QF_PORTABLE_SOURCES src/fs/unicode.cpp src/fs/upcase_table.cpp)
list(APPEND QF_WIN32_SOURCES src/fs/file_system_win32.cpp)
list(APPEND QF_POSIX_SOURCES src/fs/file_system_posix.cpp)
