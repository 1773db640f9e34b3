# Command line, string arrays, exports, public header and sandbox isolation.
qm_add_gtest(cmdline_test SOURCES cmdline_test.cpp LABELS blackbox)
add_dependencies(cmdline_test qmveskar)
qm_add_gtest(strarray_test SOURCES strarray_test.cpp LIBS qmcore)
