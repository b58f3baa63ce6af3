# The offline repair, for the Linux build only: it reads and writes registry hives with libhivex.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
add_library(qf_rescue STATIC src/rescue/volume_linux.cpp src/rescue/hive_linux.cpp src/rescue/repair_linux.cpp
                             src/rescue/environment.cpp)
# Linked statically, hivex's conversions come from iconv_builtin_linux, not from the system's gconv
# modules; its object goes on the program's link line itself, ahead of the C library.
if(QF_RELEASE)
  find_library(QF_HIVEX_STATIC libhivex.a REQUIRED)
  add_library(qf_iconv OBJECT src/rescue/iconv_builtin_linux.cpp)
  target_include_directories(qf_iconv PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(qf_rescue PUBLIC qf_core ${QF_HIVEX_STATIC} $<TARGET_OBJECTS:qf_iconv>)
else()
  target_link_libraries(qf_rescue PUBLIC qf_core PkgConfig::HIVEX)
endif()

# Files that Windows compressed in place (CompactOS): the ntfs-3g plugin that reads them, and the
# same reader for the unit tests (linked with wimlib's shared library there; its pkg-config file
# asks for the development files of libraries it needs only to build wimlib itself).
find_library(QF_WIM wim REQUIRED)
add_library(qf_wof STATIC src/rescue/wof.cpp)
target_include_directories(qf_wof PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(qf_wof PUBLIC ${QF_WIM})
# The plugin runs inside ntfs-3g, which is built without sanitizers: it takes none, no static
# link, no C++ run time, and exports init alone. wimlib's decompressors come from its static
# library (src/rescue/wof_plugin_posix.cpp says how libxml2 stays out).
find_library(QF_WIM_STATIC libwim.a REQUIRED)
add_library(qf_wof_plugin MODULE src/rescue/wof_plugin_posix.cpp src/rescue/wof.cpp)
get_directory_property(qf_plugin_compile COMPILE_OPTIONS)
get_directory_property(qf_plugin_link LINK_OPTIONS)
list(REMOVE_ITEM qf_plugin_compile ${QF_SANITIZE} -fno-sanitize-recover=all)
list(REMOVE_ITEM qf_plugin_link ${QF_SANITIZE} -static)
set_target_properties(qf_wof_plugin PROPERTIES PREFIX "" OUTPUT_NAME ntfs-plugin-80000017
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/plugins/ntfs-3g
                      COMPILE_OPTIONS "${qf_plugin_compile};-fno-exceptions;-fno-rtti"
                      LINK_OPTIONS "${qf_plugin_link}")
# ntfs-3g's headers read these from its own build's config.h.
target_compile_definitions(qf_wof_plugin PRIVATE HAVE_STDARG_H HAVE_STDINT_H HAVE_SYS_TYPES_H HAVE_STDDEF_H HAVE_ENDIAN_H
                                                 HAVE_BYTESWAP_H HAVE_STDIO_H HAVE_SYS_STAT_H HAVE_TIME_H)
target_include_directories(qf_wof_plugin PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(qf_wof_plugin PRIVATE ${QF_WIM_STATIC} ntfs-3g)
target_link_options(qf_wof_plugin PRIVATE -static-libgcc -Wl,--as-needed -Wl,-z,defs
                    -Wl,--version-script=${CMAKE_SOURCE_DIR}/src/rescue/wof_plugin.map)
