qf_sources(qf_window src/ui/drive_list.cpp src/ui/tab_walk.cpp src/ui/main_window_win32.cpp
                     src/ui/commands_win32.cpp)
