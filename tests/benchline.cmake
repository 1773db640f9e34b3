# The virtual field line itself: the device simulator at the byte level, the line database,
# the bench line helper, and the third-party peers (mbpoll, pymodbus, libmodbus).
if(NOT QM_THREAD_TESTS_ONLY)
  qm_add_gtest(fieldsim_test SOURCES fieldsim_test.cpp LIBS fieldsimcore benchline
               LABELS bench TIMEOUT 300)
  qm_add_gtest(linedb_test SOURCES linedb_test.cpp LIBS quordb benchline qm_sqlite3 TIMEOUT 120)
  qm_add_gtest(benchline_test SOURCES benchline_test.cpp LIBS benchline fieldsimcore quordb
               LABELS bench TIMEOUT 600)
  if(TARGET benchline_test)
    add_dependencies(benchline_test qmveskar)
  endif()
endif()
