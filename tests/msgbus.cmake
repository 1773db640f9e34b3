# Message-bus client: wire image, posting and connection; reader and synchronous request;
# the threads under load. All of them run a reader thread, so all are "threads" tests.
qm_add_gtest(bus_record_test SOURCES bus_record_test.cpp LIBS qmbuskit LABELS threads TIMEOUT 300)
if(TARGET bus_record_test)
  # Every write of the client is seen by the test (one write per message).
  target_link_options(bus_record_test PRIVATE -Wl,--wrap=write)
endif()
qm_add_gtest(bus_reader_test SOURCES bus_reader_test.cpp LIBS qmbuskit LABELS threads TIMEOUT 300)
qm_add_gtest(bus_threads_test SOURCES bus_threads_test.cpp LIBS qmbuskit LABELS threads TIMEOUT 600)
qm_add_gtest(bus_pressure_test SOURCES bus_pressure_test.cpp LIBS qmbuspressure LABELS threads
             TIMEOUT 600)
