// Black-box tests of the command line: the built qmveskar is run as the unit's caller
// runs it, and its standard output, standard error and exit status are checked exactly.
#include "testsupport.h"

using qmtest::RunQmveskar;

namespace {

struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
};

void Expect(const Case &c)
{
    auto r = RunQmveskar(c.args);
    std::string shown;
    for (auto &a : c.args)
        shown += "'" + a + "' ";
    EXPECT_EQ(r.out, c.out) << shown;
    EXPECT_EQ(r.err, "") << shown;
    EXPECT_EQ(r.status, c.status) << shown;
}

} // namespace

TEST(CommandLine, VersionBlockAndSingleArgument)
{
    Expect({{"-r"}, "QMVESKAR V4.0.0\nOct  2 2014\n", 0});
    Expect({{"7"}, "", 0});
    Expect({{""}, "", 0});
    Expect({{"-d"}, "", 0});
}

TEST(CommandLine, ArgumentErrorsInCheckOrder)
{
    Expect({{}, "-1\n", 1});
    Expect({{"", "5"}, "-2\n", 1});
    Expect({{"", ""}, "-2\n", 1});
    Expect({{"1", ""}, "-4\n", 1});
    Expect({{"1", "5"}, "-5\n", 1});        // range start without a last address
    Expect({{"1", "-d"}, "-5\n", 1});
    Expect({{"1", "10", "5"}, "-6\n", 1});  // first above last
    Expect({{"1", "0", "5"}, "-6\n", 1});
    Expect({{"1", "5", "256"}, "-6\n", 1});
    Expect({{"1", "-3", "5"}, "-6\n", 1});
    Expect({{"1", "x", "5"}, "-6\n", 1});   // a non-numeric address reads as 0
    Expect({{"1", "5", "-d", "9"}, "-6\n", 1});
    // Addresses are held to the 32-bit range on every build: 2^32 + 1 is no address 1.
    Expect({{"1", "4294967297", "4294967300"}, "-6\n", 1});
    Expect({{"1", "5", "4294967301"}, "-6\n", 1});
    Expect({{"1", "-4294967295", "5"}, "-6\n", 1});
}

TEST(CommandLine, GoodArgumentsReachTheScanDriver)
{
    // Without a line database the scan driver's first step answers -7.
    Expect({{"1", "5", "5"}, "-7\n", 1});
    Expect({{"1", "5", "9", "-d"}, "-7\n", 1});
    Expect({{"1", "3,300,0,7"}, "-7\n", 1});
    Expect({{"1", "255,4"}, "-7\n", 1});
    Expect({{"-r", "5", "6"}, "-7\n", 1});  // -r with more arguments is a line list
    Expect({{"1,2", "1,x"}, "-7\n", 1});
}

TEST(CommandLine, NoFileAndNoLockOnArgumentErrors)
{
    QM_REQUIRE_SANDBOX();
    for (auto args : std::vector<std::vector<std::string>>{{}, {"1", ""}, {"1", "5"}, {"1", "9", "2"}})
        RunQmveskar(args);
    EXPECT_FALSE(qmtest::Exists("/dev/shm/uart_lck"));
    EXPECT_FALSE(qmtest::Exists("/dev/shm/discovery_perc"));
}
