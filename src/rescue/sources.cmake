# The offline repair, for the Linux build only: it reads and writes registry hives with libhivex.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
add_library(qf_rescue STATIC src/rescue/volume.cpp src/rescue/hive.cpp src/rescue/repair.cpp)
target_link_libraries(qf_rescue PUBLIC qf_core PkgConfig::HIVEX)
