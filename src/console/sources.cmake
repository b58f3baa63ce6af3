# The console scanner, qfscan: a library of its own (so the unit tests can reach its output
# rules) and the program. Included after the
# libraries below it.
# The rescue's screens (src/rescue_screen) are qfscan's too: their words and layout build
# everywhere, their front end on Linux only.
add_library(qf_console STATIC src/console/report.cpp src/console/quarantine_command.cpp
                              src/rescue_screen/records.cpp src/rescue_screen/summary.cpp)
if(WIN32)
  target_sources(qf_console PRIVATE src/console/console_win32.cpp src/console/log_file_win32.cpp)
  target_link_libraries(qf_console PUBLIC qf_win32 shell32)
else()
  target_sources(qf_console PRIVATE src/console/console_posix.cpp src/console/log_file_posix.cpp
                                    src/rescue_screen/rescue_posix.cpp)
  target_link_libraries(qf_console PUBLIC qf_rescue)
endif()
add_executable(qfscan src/console/qfscan_main.cpp)
if(WIN32)
  target_sources(qfscan PRIVATE src/res/qfscan.rc)
  # The event log's message table, in qfscan.exe's own resources (log_file_win32.cpp names the IDs).
  set(qf_events ${CMAKE_BINARY_DIR}/generated/events)
  add_custom_command(OUTPUT ${qf_events}/qfscan_events.rc ${qf_events}/MSG00409.bin
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${qf_events}
                     COMMAND ${QF_MINGW_PREFIX}-windmc -U -r ${qf_events} -h ${qf_events}
                             ${CMAKE_SOURCE_DIR}/src/res/qfscan_events.mc
                     DEPENDS ${CMAKE_SOURCE_DIR}/src/res/qfscan_events.mc)
  target_sources(qfscan PRIVATE ${qf_events}/qfscan_events.rc)
  target_include_directories(qfscan PRIVATE ${qf_events})
endif()
target_link_libraries(qfscan PRIVATE qf_console)
