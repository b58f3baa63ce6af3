list(APPEND QF_PORTABLE_SOURCES src/scan/file_batch.cpp src/scan/scan_text.cpp src/scan/tree_walk.cpp)
# The window's scan thread: it drives the window's buttons, boxes and tables.
list(APPEND QF_WINDOW_SOURCES src/scan/scan_worker_win32.cpp)
