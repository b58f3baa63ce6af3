list(APPEND QF_PORTABLE_SOURCES src/ui/drive_list.cpp src/ui/tab_walk.cpp)
list(APPEND QF_WIN32_SOURCES src/ui/main_window.cpp src/ui/commands.cpp)
