# The console scanner, qfscan: a library of its own (so the unit tests can reach its output
# rules) and the program. Included after the core's folders.
if(WIN32)
  set(qf_console_platform src/console/console_win32.cpp)
else()
  set(qf_console_platform src/console/console_posix.cpp)
endif()
add_library(qf_console STATIC src/console/report.cpp ${qf_console_platform})
target_link_libraries(qf_console PUBLIC qf_core)
add_executable(qfscan src/console/qfscan_main.cpp)
target_link_libraries(qfscan PRIVATE qf_console)
