qf_sources(qf_platform src/fs/file_system_win32.cpp src/fs/listing_win32.cpp src/fs/disposal_win32.cpp
                       src/fs/native_win32.cpp src/fs/host_win32.cpp src/fs/file_system_posix.cpp src/fs/host_posix.cpp)
if(QF_TEST_SEAMS)
  qf_sources(qf_platform src/fs/test_seams.cpp)
endif()
