# The start-up cleanup under Wine: real helper processes, the prefix's registry and its Windows
# directory. Every test program runs in its own throwaway prefix.
add_library(cleanup_probe_dll SHARED ${CMAKE_CURRENT_SOURCE_DIR}/cleanup_probe_dll.c)
set_target_properties(cleanup_probe_dll PROPERTIES PREFIX "" OUTPUT_NAME cleanup_probe)

qf_wine_test(cleanup_win32_tests cleanup_sweep_win32_test.cpp cleanup_autorun_win32_test.cpp cleanup_dropped_win32_test.cpp
             gtest_win_main.cpp)
add_dependencies(cleanup_win32_tests cleanup_probe_dll)
target_compile_definitions(cleanup_win32_tests PRIVATE QF_PROBE_DLL="$<TARGET_FILE:cleanup_probe_dll>")
