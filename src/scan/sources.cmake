list(APPEND QF_PORTABLE_SOURCES src/scan/scan_text.cpp src/scan/tree_walk.cpp)
list(APPEND QF_WIN32_SOURCES src/scan/scan_worker_win32.cpp)
