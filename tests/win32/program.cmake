# End-to-end tests of the real program under Xvfb; screenshots go to screenshots/ in the build tree.
if(EXISTS ${CMAKE_SOURCE_DIR}/src/app/main_win32.cpp)
  add_executable(qf_probe ${CMAKE_SOURCE_DIR}/tests/e2e/probe_win32.cpp)
  set_target_properties(qf_probe PROPERTIES OUTPUT_NAME probe)
  add_dependencies(qf_probe qf_samples)
  # Every scenario runs without the rights that bypass file permissions (unlistable_root needs it).
  foreach(scenario startup_and_keys stop_and_close worm_found unlistable_root)
    add_test(NAME program_${scenario}
             COMMAND ${CMAKE_SOURCE_DIR}/tools/without-dac.sh ${CMAKE_SOURCE_DIR}/tests/e2e/program-test.sh ${scenario}
                     $<TARGET_FILE:quenfold> $<TARGET_FILE:qf_probe> ${CMAKE_BINARY_DIR}/screenshots)
    set_tests_properties(program_${scenario} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QF_WINE_ENV}"
                         TIMEOUT 300)
  endforeach()
endif()

# qfscan.exe as a user runs it, and beside the Linux build of the native tree when there is one.
set(QF_NATIVE_QFSCAN "" CACHE FILEPATH "the Linux qfscan to compare the Windows one with")
set(qf_compare)
if(QF_NATIVE_QFSCAN)
  set(qf_compare --compare ${QF_NATIVE_QFSCAN})
endif()
add_test(NAME qfscan_wine
         COMMAND ${CMAKE_SOURCE_DIR}/tests/console/run-under-wine.sh /usr/bin/python3
                 ${CMAKE_SOURCE_DIR}/tests/console/qfscan_test.py --wine $<TARGET_FILE:qfscan>
                 --probe $<TARGET_FILE:qf_probe> ${qf_compare})
set_tests_properties(qfscan_wine PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QF_WINE_ENV}" TIMEOUT 900)
# qfscan.exe --cleanup in the 64-bit prefix (cleanup.cmake): the 32-bit build under WoW64.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL i686)
  add_test(NAME qfscan_wine_wow64
           COMMAND ${CMAKE_SOURCE_DIR}/tests/console/run-under-wine.sh /usr/bin/python3
                   ${CMAKE_SOURCE_DIR}/tests/console/qfscan_test.py --wine $<TARGET_FILE:qfscan>
                   --probe $<TARGET_FILE:qf_probe> -k wow64)
  set_tests_properties(qfscan_wine_wow64 PROPERTIES FIXTURES_REQUIRED wine64 TIMEOUT 300 ENVIRONMENT "${QF_WINE64_ENV}")
endif()
