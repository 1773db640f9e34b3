// The discovery against Modbus slaves nobody here wrote: a pymodbus RTU slave and a
// libmodbus RTU slave stand in for the controller behind the simulator's relay port, with
// absent addresses around it, and give the same report line as the simulated controller.
#include <cstdlib>
#include <unistd.h>

#include "discoverybench.h"

using namespace disc;

namespace {

class Interop : public testing::Test {
protected:
    void SetUp() override { QM_REQUIRE_SANDBOX(); }
    void TearDown() override
    {
        StopSim(sim);
        unlink("/etc/quor/db/sysconfig/quorLan.db");
    }
    // The peer answers address 17 behind the simulator's relay; the simulator answers the
    // line-test polls.
    void StartLine(const std::string &peer)
    {
        LineRow row;
        row.rxTimeout = "150";
        sim = StartSim("line 9600 8N1\nlinetest\n", row, peer);
    }
    void ExpectScan()
    {
        auto r = RunQmveskarOnBench({"1", "15,16,17,18,19,255"});
        EXPECT_EQ(r.out, "00000000001,015\n00000000001,016\n" + ReferenceLine(1, 17) +
                             "\n00000000001,018\n00000000001,019\n10101010\n")
            << qmtest::ReadFile(sim.log);
        EXPECT_EQ(r.status, 0);
    }
    Sim sim;
};

} // namespace

TEST_F(Interop, PymodbusSlave)
{
    if (system("/usr/bin/python3 -c 'import pymodbus' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-pymodbus is not installed";
    StartLine("pymodbus");
    ExpectScan();
}

TEST_F(Interop, LibmodbusSlave)
{
    std::string slave = qmtest::BinDir() + "/qmmodbusslave";
    if (access(slave.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no libmodbus slave in this build (libmodbus exists only for the host)";
    StartLine("libmodbus");
    ExpectScan();
}
