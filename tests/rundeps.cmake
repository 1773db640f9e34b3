# Run-time dependencies of the product binaries: the C library only (and SQLite for the
# line-database layer), in every build; the sanitizer builds add their runtimes.
qm_add_script_test(rundeps_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/rundeps_check.sh
                   ${CMAKE_BINARY_DIR})
