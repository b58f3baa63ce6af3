# The offline repair, for the Linux build only: it reads and writes registry hives with libhivex.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
add_library(qf_rescue STATIC src/rescue/volume.cpp src/rescue/hive.cpp src/rescue/repair.cpp
                             src/rescue/environment.cpp)
# Linked statically, hivex's conversions come from iconv_builtin, not from the system's gconv
# modules; its object goes on the program's link line itself, ahead of the C library.
if(QF_RELEASE)
  find_library(QF_HIVEX_STATIC libhivex.a REQUIRED)
  add_library(qf_iconv OBJECT src/rescue/iconv_builtin.cpp)
  target_include_directories(qf_iconv PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(qf_rescue PUBLIC qf_core ${QF_HIVEX_STATIC} $<TARGET_OBJECTS:qf_iconv>)
else()
  target_link_libraries(qf_rescue PUBLIC qf_core PkgConfig::HIVEX)
endif()
