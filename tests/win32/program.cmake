# End-to-end tests of the real program under Xvfb; screenshots go to screenshots/ in the build tree.
if(EXISTS ${CMAKE_SOURCE_DIR}/src/app/main.cpp)
  add_executable(qf_probe ${CMAKE_SOURCE_DIR}/tests/e2e/probe.cpp ${CMAKE_SOURCE_DIR}/tests/support/samples.cpp)
  target_include_directories(qf_probe PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  set_target_properties(qf_probe PROPERTIES OUTPUT_NAME probe)
  add_dependencies(qf_probe qf_samples)
  foreach(scenario startup_and_keys stop_and_close worm_found)
    add_test(NAME program_${scenario}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/program-test.sh ${scenario} $<TARGET_FILE:quenfold>
                     $<TARGET_FILE:qf_probe> ${CMAKE_BINARY_DIR}/screenshots)
    set_tests_properties(program_${scenario} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QF_WINE_ENV}"
                         TIMEOUT 300)
  endforeach()
endif()
