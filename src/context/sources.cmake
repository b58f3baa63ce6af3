qf_sources(qf_window src/context/scan_context_win32.cpp)
