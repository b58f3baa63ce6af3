qf_sources(qf_core src/scan/file_batch.cpp src/scan/scan_text.cpp src/scan/file_outcome.cpp
                   src/scan/tree_walk.cpp)
# The window's scan thread: it drives the window's buttons, boxes and tables.
qf_sources(qf_window src/scan/scan_worker_win32.cpp)
