# The discovery command end to end on the virtual field line.
if(QM_THREAD_TESTS_ONLY)
  return()
endif()
add_library(discoveryharness STATIC support/discoverybench.cpp)
target_link_libraries(discoveryharness PUBLIC qmtestsupport uartemu_trace benchline qm_flags)
qm_add_gtest(discovery_test SOURCES discovery/discovery_test.cpp LIBS discoveryharness
             LABELS blackbox bench TIMEOUT 600 FIELD_SCAN)
add_dependencies(discovery_test qmveskar qmfieldsim uartemu)
qm_add_gtest(discovery_lock_test SOURCES discovery/lock_test.cpp LIBS discoveryharness
             LABELS blackbox bench slow TIMEOUT 900 FIELD_SCAN
             SPLIT *PortHandedOver* *DuringHandOver* *LiveHolderAtStart* *SlowLockAtStart*
                   *WallClockSteppedBack* *KilledDuringTheScan*)
add_dependencies(discovery_lock_test qmveskar qmfieldsim uartemu clockstep)
qm_add_gtest(discovery_interop_test SOURCES discovery/interop_test.cpp LIBS discoveryharness
             LABELS blackbox bench interop TIMEOUT 300 FIELD_SCAN)
add_dependencies(discovery_interop_test qmveskar qmfieldsim uartemu)
if(TARGET qmmodbusslave)
  add_dependencies(discovery_interop_test qmmodbusslave)
endif()
# The live holder's case never opens the line (the command gives up on the lock): it runs
# beside the field scans.
set_property(TEST discovery_lock_test.LiveHolderAtStart PROPERTY RESOURCE_LOCK)
