list(APPEND QF_WIN32_SOURCES src/context/scan_context_win32.cpp)
