list(APPEND QF_WINDOW_SOURCES src/context/scan_context_win32.cpp)
