# The quarantine of qfscan --move: its index and restore, and its file work per platform, all in the core.
qf_sources(qf_core src/quarantine/quarantine.cpp src/quarantine/store_win32.cpp src/quarantine/store_posix.cpp)
