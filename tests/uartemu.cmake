# UART emulation of the virtual field line: every test of this folder gets QM_UARTEMU (the
# library's path); the emulation's own test program runs with the library preloaded.
qm_uartemu_export(${CMAKE_CURRENT_SOURCE_DIR})

if(NOT QM_THREAD_TESTS_ONLY)
  qm_add_gtest(uartemu_test SOURCES uartemu_test.cpp LIBS uartemu_trace uartemu_selftest LABELS serial
               TIMEOUT 300)
  add_dependencies(uartemu_test uartemu_probe)
  qm_uartemu_preload(uartemu_test)
  set_property(TEST uartemu_test APPEND PROPERTY ENVIRONMENT
               "UARTEMU_TRACE=/tmp/uartemu_test.trace" "UARTEMU_CTL=/tmp/uartemu_test.ctl")
endif()
