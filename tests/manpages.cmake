# Manual pages: every installed page renders without a warning, and every exported name
# has an entry.
qm_add_script_test(man_render_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_render_check.sh
                   ${CMAKE_BINARY_DIR})
qm_add_script_test(man_entries_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_entries_check.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
