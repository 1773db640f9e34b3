# The i386 build on a real i386 kernel's 8250 driver, in a QEMU guest (one boot for all
# cases; label guest). Only the i386 build has the unit's binaries.
if(QM_THREAD_TESTS_ONLY OR NOT QM_EMULATOR)
  return()
endif()
qm_add_script_test(guest_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/guest_check.sh
                   ${CMAKE_BINARY_DIR} LABELS guest)
set_tests_properties(guest_check PROPERTIES TIMEOUT 600)
