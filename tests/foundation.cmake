# Command line, string arrays, exports, public header and sandbox isolation.
qm_add_gtest(cmdline_test SOURCES cmdline_test.cpp LABELS blackbox)
if(TARGET cmdline_test)
  add_dependencies(cmdline_test qmveskar)
endif()
qm_add_gtest(strarray_test SOURCES strarray_test.cpp LIBS qmutil)
qm_add_gtest(signalclock_test SOURCES signalclock_test.cpp)

qm_add_script_test(exports_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/exports_check.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
qm_add_script_test(header_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/header_check.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})

# Host isolation: a sentinel in the host's /dev/shm before the suite, a sandboxed test that
# tries to change it and the other system paths, and a check on the host after all tests.
if(NOT QM_THREAD_TESTS_ONLY)
  set(QM_SENTINEL_DIR ${CMAKE_BINARY_DIR}/sandbox-sentinel)
  add_test(NAME sandbox_setup COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/sandbox_check.sh setup ${QM_SENTINEL_DIR})
  add_test(NAME sandbox_verify COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/sandbox_check.sh verify ${QM_SENTINEL_DIR})
  qm_add_script_test(sandbox_clobber COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/sandbox_check.sh clobber ${QM_SENTINEL_DIR})
  set_tests_properties(sandbox_setup PROPERTIES FIXTURES_SETUP host_sentinel)
  set_tests_properties(sandbox_verify PROPERTIES FIXTURES_CLEANUP host_sentinel)
endif()
qm_add_gtest(scanplan_test SOURCES scanplan_test.cpp LIBS qmdiscovery)
