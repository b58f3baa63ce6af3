# The console scanner, qfscan: a library of its own (so the unit tests can reach its output
# rules) and the program. Included after the
# libraries below it.
# The rescue's screens (src/rescue_screen) are qfscan's too: their words and layout build
# everywhere, their front end on Linux only.
add_library(qf_console STATIC src/console/report.cpp src/console/quarantine_command.cpp
                              src/rescue_screen/records.cpp src/rescue_screen/summary.cpp)
if(WIN32)
  target_sources(qf_console PRIVATE src/console/console_win32.cpp src/console/fleet_win32.cpp)
  target_link_libraries(qf_console PUBLIC qf_win32 shell32)
else()
  target_sources(qf_console PRIVATE src/console/console_posix.cpp src/console/fleet_posix.cpp
                                    src/rescue_screen/rescue_posix.cpp)
  target_link_libraries(qf_console PUBLIC qf_rescue)
endif()
add_executable(qfscan src/console/qfscan_main.cpp)
if(WIN32)
  target_sources(qfscan PRIVATE src/res/qfscan.rc)
endif()
target_link_libraries(qfscan PRIVATE qf_console)
