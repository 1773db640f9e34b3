# UART emulation of the virtual field line: every test gets QM_UARTEMU; the emulation's own
# tests run a test program with the library preloaded.
qm_uartemu_export(${CMAKE_CURRENT_SOURCE_DIR})
