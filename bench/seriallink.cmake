# DTR timing of the transmitter on a bench line (pty + UART emulation): dtr_bench.
add_executable(dtr_bench dtr_bench.cpp)
target_link_libraries(dtr_bench PRIVATE qmseriallink uartemu_trace qm_flags)
target_compile_definitions(dtr_bench PRIVATE QM_BENCH_UARTEMU="$<TARGET_FILE:uartemu>"
                           QM_BENCH_EMULATOR="${QM_EMULATOR}")
add_dependencies(dtr_bench uartemu)
