if(QF_TEST_SEAMS)
  list(APPEND QF_PORTABLE_SOURCES src/fs/test_seams.cpp)
endif()
list(APPEND QF_WIN32_SOURCES src/fs/file_system_win32.cpp src/fs/listing_win32.cpp src/fs/disposal_win32.cpp
                             src/fs/native_win32.cpp)
list(APPEND QF_POSIX_SOURCES src/fs/file_system_posix.cpp)
list(APPEND QF_WIN32_SOURCES src/fs/host_win32.cpp)
list(APPEND QF_POSIX_SOURCES src/fs/host_posix.cpp)
