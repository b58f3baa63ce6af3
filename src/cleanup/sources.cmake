qf_sources(qf_core src/cleanup/cleanup_rules.cpp)
qf_sources(qf_win32 src/cleanup/process_sweep_win32.cpp src/cleanup/autorun_repair_win32.cpp
                    src/cleanup/dropped_files_win32.cpp src/cleanup/cleanup_pass_win32.cpp)
# The thread that reports the pass to the window is the window's.
qf_sources(qf_window src/cleanup/cleanup_thread_win32.cpp)
if(QF_TEST_SEAMS)
  qf_sources(qf_win32 src/cleanup/test_seams_win32.cpp)
endif()
