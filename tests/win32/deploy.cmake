# The deployment script under Wine's cmd, in a throwaway prefix.
add_test(NAME deploy_startup_script
         COMMAND ${CMAKE_SOURCE_DIR}/tests/console/run-under-wine.sh /usr/bin/python3
                 ${CMAKE_SOURCE_DIR}/tests/deploy/deploy_test.py $<TARGET_FILE:qfscan>
                 ${CMAKE_SOURCE_DIR}/deploy/qfscan-startup.cmd $<TARGET_FILE:qf_probe>)
set_tests_properties(deploy_startup_script PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QF_WINE_ENV}" TIMEOUT 300)
