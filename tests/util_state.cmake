# State files shared by the unit's processes: runtime slots, the I/O interface request
# record and the digital I/O port, service requests, watchdog and mode flags, the
# acquisition speed setup and the temperature history info.
qm_add_gtest(state_shruntime_test SOURCES state_shruntime_test.cpp LIBS qmutil TIMEOUT 120)
qm_add_gtest(state_ioiface_test SOURCES state_ioiface_test.cpp LIBS qmutil TIMEOUT 120)
qm_add_gtest(state_service_test SOURCES state_service_test.cpp LIBS qmutil TIMEOUT 120)
qm_add_gtest(state_acqspeed_test SOURCES state_acqspeed_test.cpp LIBS qmutil TIMEOUT 120)
qm_add_gtest(state_tempinfo_test SOURCES state_tempinfo_test.cpp LIBS qmutil TIMEOUT 120)
# Links and FIFOs planted at the state files' names (the progress file through the command).
qm_add_gtest(state_planted_test SOURCES state_planted_test.cpp LIBS qmseriallink benchline
             TIMEOUT 300)
if(TARGET state_planted_test)
  add_dependencies(state_planted_test qmveskar)
endif()
# Descriptors of every library call that opens files: none left open, none inheritable.
qm_add_gtest(descriptors_test SOURCES descriptors_test.cpp LIBS qmseriallink qmbuskit TIMEOUT 300)
# Every writer of the state files on a full disk: no success without the write.
qm_add_gtest(fulldisk_test SOURCES fulldisk_test.cpp LIBS qmseriallink TIMEOUT 120)
qm_add_gtest(state_writers_test SOURCES state_writers_test.cpp LIBS qmutil TIMEOUT 180)
