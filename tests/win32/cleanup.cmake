# The start-up cleanup under Wine: real helper processes, the prefix's registry and its Windows
# directory. Every test program runs in its own throwaway prefix.
add_library(cleanup_probe_dll SHARED ${CMAKE_CURRENT_SOURCE_DIR}/cleanup_probe_dll.c)
set_target_properties(cleanup_probe_dll PROPERTIES PREFIX "" OUTPUT_NAME cleanup_probe)

qf_wine_test(cleanup_win32_tests cleanup_sweep_win32_test.cpp cleanup_autorun_win32_test.cpp cleanup_dropped_win32_test.cpp
             gtest_win_main.cpp)
add_dependencies(cleanup_win32_tests cleanup_probe_dll)
target_compile_definitions(cleanup_win32_tests PRIVATE QF_PROBE_DLL="$<TARGET_FILE:cleanup_probe_dll>")

# The shipped 32-bit build on 64-bit Windows: in a 64-bit prefix it runs under WoW64.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL i686)
  set(QF_WINE_TEMPLATE64 ${CMAKE_BINARY_DIR}/wine-template-64)
  set(QF_WINE64_ENV "QF_WINE_TEMPLATE=${QF_WINE_TEMPLATE64};QF_WINE_ARCH=x86_64;QF_SAMPLES=${QF_SAMPLES_DIR}")
  add_test(NAME wine64_prefix_create COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix.sh create ${QF_WINE_TEMPLATE64} x86_64)
  add_test(NAME wine64_prefix_remove COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix.sh remove ${QF_WINE_TEMPLATE64})
  set_tests_properties(wine64_prefix_create PROPERTIES FIXTURES_SETUP wine64 TIMEOUT 600)
  set_tests_properties(wine64_prefix_remove PROPERTIES FIXTURES_CLEANUP wine64)
  add_test(NAME cleanup_win32_tests_wow64 COMMAND cleanup_win32_tests --gtest_filter=AutorunViews.*)
  set_tests_properties(cleanup_win32_tests_wow64 PROPERTIES FIXTURES_REQUIRED wine64 TIMEOUT 900 ENVIRONMENT "${QF_WINE64_ENV}")
endif()
