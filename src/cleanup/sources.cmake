list(APPEND QF_PORTABLE_SOURCES src/cleanup/cleanup_rules.cpp)
list(APPEND QF_WIN32_SOURCES src/cleanup/process_sweep_win32.cpp src/cleanup/autorun_repair_win32.cpp
                             src/cleanup/dropped_files_win32.cpp src/cleanup/cleanup_pass_win32.cpp)
# The thread that reports the pass to the window is the window's.
list(APPEND QF_WINDOW_SOURCES src/cleanup/cleanup_thread_win32.cpp)
if(QF_TEST_SEAMS)
  list(APPEND QF_WIN32_SOURCES src/cleanup/test_seams_win32.cpp)
endif()
