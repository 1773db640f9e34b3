# Message-bus client: request round trip and post rate against the loopback test server.
add_executable(bus_bench bus_bench.cpp)
target_link_libraries(bus_bench PRIVATE qmbuskit qm_flags)
