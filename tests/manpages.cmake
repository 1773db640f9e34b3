# Manual pages: every installed page renders without a warning, and every exported name
# has an entry.
qm_add_script_test(man_render_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_render_check.sh
                   ${CMAKE_BINARY_DIR})
qm_add_script_test(man_entries_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_entries_check.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
# The EXAMPLES of the pages as printed: programs built against the library, qmveskar(1)'s
# sessions on the demonstration line (whole scans: one at a time with the other field scans).
qm_add_script_test(man_examples_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_examples_check.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
if(TEST man_examples_check)
  set_tests_properties(man_examples_check PROPERTIES TIMEOUT 300 RESOURCE_LOCK field_scan)
endif()
