# Serial link: frames and CRC, the receiver's state machine, UART lock, timing and priority,
# and (on the virtual field line) line configuration, transmitter, loopback test and receiver.
qm_add_gtest(serial_frame_test SOURCES serial_frame_test.cpp LIBS qmseriallink)
# The UART lock's and the I/O interface lock's rounds run beside each other (the latter
# waits out 500 ms sleeps).
qm_add_gtest(serial_lock_test SOURCES serial_lock_test.cpp LIBS qmseriallink
             SPLIT UartLock.* IoIfaceLock.*)
if(TARGET serial_lock_test)
  # The test holds or fails the lock code's calls on the lock name, and holds the I/O
  # interface record's write (qmtest::EntryHook, tests/support/entryhook.h).
  target_link_options(serial_lock_test PRIVATE -Wl,--wrap=unlink,--wrap=link,--wrap=linkat,--wrap=pwrite)
endif()
qm_add_gtest(serial_timing_test SOURCES serial_timing_test.cpp LIBS qmseriallink)
qm_add_gtest(serial_line_test SOURCES serial_line_test.cpp LIBS qmtestline LABELS bench)
qm_uartemu_preload(serial_line_test)
qm_add_gtest(serial_transmit_test SOURCES serial_transmit_test.cpp
             LIBS qmtestline uartemu_trace LABELS bench)
qm_uartemu_preload(serial_transmit_test)
if(TEST serial_transmit_test)
  set_property(TEST serial_transmit_test APPEND PROPERTY ENVIRONMENT
               "UARTEMU_TRACE=/tmp/serial_transmit.trace" "UARTEMU_CTL=/tmp/serial_transmit.ctl")
endif()
# The receiver's state machine over bytes in memory; on the bench line, what needs a line.
qm_add_gtest(serial_parse_test SOURCES serial_parse_test.cpp LIBS qmseriallink)
qm_add_gtest(serial_receive_test SOURCES serial_receive_test.cpp
             LIBS qmtestline benchline LABELS bench TIMEOUT 300)
qm_uartemu_preload(serial_receive_test)
if(TARGET serial_receive_test)
  # Another reader of the port, between the receiver's count and its read (the test's ioctl).
  target_link_options(serial_receive_test PRIVATE -Wl,--wrap=ioctl)
endif()
if(TEST serial_receive_test)
  set_property(TEST serial_receive_test APPEND PROPERTY ENVIRONMENT
               "UARTEMU_CTL=/tmp/serial_receive.ctl")
endif()
# The I/O interface lock's rounds wait out the lock's real sleeps and bound (about a minute):
# not part of the inner loop (make check).
if(TEST serial_lock_test.IoIfaceLock)
  set_property(TEST serial_lock_test.IoIfaceLock APPEND PROPERTY LABELS slow)
endif()
