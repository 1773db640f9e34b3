# Message-bus client: request round trip and post rate against the loopback test server,
# and the table of the pressure conditions.
add_executable(bus_bench bus_bench.cpp)
target_link_libraries(bus_bench PRIVATE qmbuspressure qm_flags)
