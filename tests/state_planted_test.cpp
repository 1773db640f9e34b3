// State files at well-known names in world-writable folders (/dev/shm, /tmp) and under
// /etc/quor: a link planted there by another process is never followed (its target stays
// as it was), and a FIFO planted there never blocks the caller.
#include <csignal>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "benchline.h"
#include "qmveskar.h"
#include "testsupport.h"

namespace {

const char kVictim[] = "/tmp/planted-victim";
const char kVictimText[] = "keep me as I am\n";

struct Site {
    const char *name;                // for the test's name
    const char *path;                // where the link or FIFO is planted
    std::function<void()> exercise;  // runs in a child process
};

void PrintTo(const Site &site, std::ostream *out) { *out << site.name; }

void WithLineDatabase()
{
    std::string error;
    EXPECT_TRUE(benchline::WriteRecord("/etc/quor/db/sysconfig/quorLan.db", 1,
                                       {"ttyS9", "9600", "0", "8", "1", "0", "0", "100", "0",
                                        "0", "0"},
                                       error))
        << error;
}

const Site kSites[] = {
    {"ProgressFile", "/dev/shm/discovery_perc",
     [] { qmtest::RunQmveskar({"7", "1", "1"}, {}, 20); }},  // line 7 has no record
    {"UartLock", "/dev/shm/uart_lck",
     [] {
         MakeLockUart(1);
         MakeLockUart(0);
     }},
    {"RuntimeSlots", "/dev/shm/sh_5.share",
     [] {
         unsigned char slot[904] = {1, 2, 3};
         SetShRuntime(5, 0, slot);
         GetShRuntime(5, 0, slot);
         InitShareRuntime(5);
     }},
    {"IoRequestRecord", "/dev/shm/ves_iface",
     [] {
         uint8_t at5, at4, record[10];
         uint16_t at6;
         SetIoInterfaceRequest(1, 2, 3, 4, 5, 6, 7, 8, 0);
         GetVesIfaceSetStatus(record);
         GetIoInterfaceRequest(&at5, &at6, &at4, record);
     }},
    {"IoRequestLock", "/dev/shm/ves_iface.lok",
     [] { SetIoInterfaceRequest(1, 2, 3, 4, 5, 6, 7, 8, 0); }},
    {"AcqSpeedFile", "/dev/shm/acqspeed.conf",
     [] {
         AcqSpeedSetup setup;
         GetAcqSpeedSetup(&setup);
     }},
    {"ServiceRequest", "/etc/quor/service_request",
     [] { MakeOsServiceRequest('R', "text", 0, 1); }},
    {"ServiceRequestLock", "/etc/quor/service_request.lok", [] { MakeServiceRequestLock(1); }},
};

// Runs the site's calls in a child; false when they did not end within the bound.
bool EndsInTime(const Site &site)
{
    return qmtest::InChild([&] {
        alarm(30);
        site.exercise();
        return 0;
    }).status == 0;
}

class PlantedAtStateFile : public ::testing::TestWithParam<Site> {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        WithLineDatabase();
        unlink(GetParam().path);
        qmtest::WriteFile(kVictim, kVictimText);
    }
    void TearDown() override
    {
        unlink(GetParam().path);
        unlink(kVictim);
        unlink("/dev/shm/uart_lck");
        unlink("/etc/quor/db/sysconfig/quorLan.db");
    }
};

INSTANTIATE_TEST_SUITE_P(Sites, PlantedAtStateFile, ::testing::ValuesIn(kSites),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(PlantedAtStateFile, LinkIsNotFollowed)
{
    ASSERT_EQ(symlink(kVictim, GetParam().path), 0);
    EXPECT_TRUE(EndsInTime(GetParam()));
    EXPECT_EQ(qmtest::ReadFile(kVictim), kVictimText);
}

TEST_P(PlantedAtStateFile, FifoDoesNotBlock)
{
    ASSERT_EQ(mkfifo(GetParam().path, 0666), 0);
    EXPECT_TRUE(EndsInTime(GetParam())) << "blocked on the FIFO";
}

} // namespace
