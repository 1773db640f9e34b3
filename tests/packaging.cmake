# Debian packages of the default architecture installed into a private root (not run in the
# test sandbox: it needs its own chroot and mounts). Only in the plain x86-64 build.
if(NOT QM_SANITIZE AND NOT CMAKE_CROSSCOMPILING AND NOT QM_THREAD_TESTS_ONLY)
  add_test(NAME package_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_check.sh ${CMAKE_SOURCE_DIR})
  set_tests_properties(package_check PROPERTIES SKIP_RETURN_CODE 77 LABELS package TIMEOUT 900)
endif()
# The README's client, built with pkg-config against the build installed under a staging
# prefix that is then moved, run against qmbusserver (sandboxed: it writes the store).
if(NOT QM_SANITIZE AND NOT CMAKE_CROSSCOMPILING AND NOT QM_THREAD_TESTS_ONLY)
  qm_add_script_test(install_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_check.sh
                     ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} LABELS package)
endif()
