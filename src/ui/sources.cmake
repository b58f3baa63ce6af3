list(APPEND QF_PORTABLE_SOURCES src/ui/drive_list.cpp src/ui/tab_walk.cpp)
list(APPEND QF_WIN32_SOURCES src/ui/main_window_win32.cpp src/ui/commands_win32.cpp)
