list(APPEND QF_PORTABLE_SOURCES src/cleanup/cleanup_rules.cpp src/cleanup/environment.cpp)
list(APPEND QF_WIN32_SOURCES src/cleanup/process_sweep.cpp src/cleanup/autorun_repair.cpp
                             src/cleanup/dropped_files.cpp src/cleanup/cleanup_thread.cpp)
