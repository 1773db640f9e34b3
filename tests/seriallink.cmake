# Serial link: frames and CRC, UART lock, timing and priority, and (on the virtual field
# line) line configuration, transmitter, loopback test and receiver.
qm_add_gtest(serial_frame_test SOURCES serial_frame_test.cpp LIBS qmcore)
qm_add_gtest(serial_lock_test SOURCES serial_lock_test.cpp serial_testkit.cpp LIBS qmcore)
qm_add_gtest(serial_timing_test SOURCES serial_timing_test.cpp serial_testkit.cpp LIBS qmcore)
