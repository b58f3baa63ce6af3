qf_sources(qf_window src/app/key_filter.cpp src/app/startup_win32.cpp)

# The program's icon is drawn by a script from a text grid; the resource compiler finds the
# result through this folder of the build tree, for every target that compiles quenfold.rc.
if(WIN32)
  set(QF_ICON_DIR ${CMAKE_BINARY_DIR}/icon)
  execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/tools/make-icon.sh ${QF_ICON_DIR}/quenfold.ico
                  RESULT_VARIABLE qf_icon_result)
  if(NOT qf_icon_result EQUAL 0)
    message(FATAL_ERROR "tools/make-icon.sh could not write the program's icon")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-icon.sh)
  include_directories(${QF_ICON_DIR})
endif()
