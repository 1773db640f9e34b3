// Writers of the state files on a full disk: a call that answers success has written what
// it says, and a call that could not write changes nothing (no partial line, no empty
// record, no short table). Each row fills a small file system over the folder it writes.
#include <algorithm>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

using qmtest::Exists;
using qmtest::ReadFile;
using qmtest::WriteFile;

namespace {

const char kRequest[] = "/etc/quor/service_request";

struct Row {
    const char *name;
    const char *dir;
    std::function<void()> before;  // on the empty file system, before it is filled
    std::function<bool()> call;    // true: the call answered success
    std::function<bool()> wrote;   // true: what a success promises is there
    std::function<bool()> intact;  // after a failure: nothing changed
};

uint8_t Slot[904];
uint8_t ReadBack[904];

bool SlotReads(int32_t id, uint8_t slot, uint8_t value)
{
    memset(ReadBack, 0xEE, sizeof ReadBack);
    return GetShRuntime(id, slot, ReadBack) == 1 && ReadBack[0] == value && ReadBack[903] == value;
}

// The request file with old requests that end 12 bytes before a page boundary: once the
// disk is full, an append finds room for 12 bytes only.
const std::string kOldRequests = std::string(4084 - 5, 'x') + "-old\n";

} // namespace

TEST(FullDisk, NoCallAnswersSuccessWithoutWriting)
{
    QM_REQUIRE_SANDBOX();
    memset(Slot, 0x5A, sizeof Slot);
    const Row rows[] = {
        {"service request with 12 bytes of room", "/etc/quor",
         [] { WriteFile(kRequest, kOldRequests); },
         [] { return MakeOsServiceRequest('X', "abcdefghijklmnopqrstuvwxyz", 0, 5) == 1; },
         [] { return ReadFile(kRequest).size() > kOldRequests.size(); },
         [] { return ReadFile(kRequest) == kOldRequests; }},
        {"service request marker", "/etc/quor", [] {},
         [] { return MakeServiceRequestLock(1) == 0; },
         [] { return ReadFile("/etc/quor/service_request.lok") == std::to_string(getpid()); },
         [] { return !Exists("/etc/quor/service_request.lok"); }},
        {"new runtime table", "/dev/shm", [] {},
         [] { return InitShareRuntime(5) == 0; },
         [] { return SlotReads(5, 254, 0); },
         [] { return !Exists("/dev/shm/sh_5.share"); }},
        {"runtime slot of a table left empty", "/dev/shm", [] { WriteFile("/dev/shm/sh_6.share", ""); },
         [] { return SetShRuntime(6, 3, Slot) == 1; },
         [] { return SlotReads(6, 3, 0x5A); },
         [] { return ReadFile("/dev/shm/sh_6.share").empty(); }},
        {"new I/O interface record", "/dev/shm", [] {},
         [] { return SetIoInterfaceRequest(1, 2, 3, 4, 5, 6, 7, 8, 0) == 1; },
         [] {
             uint8_t record[10] = {}, expected[10] = {1, 2, 3, 4, 8, 5, 7, 0, 6, 0};
             return GetIoInterfaceRequest(nullptr, nullptr, nullptr, record) == 1 &&
                    memcmp(record, expected, sizeof record) == 0;
         },
         [] { return !Exists("/dev/shm/ves_iface") && !Exists("/dev/shm/ves_iface.lok"); }},
        {"configuration store entry", "/tmp", [] { SetVesconfEntry("A", "1"); },
         [] { return SetVesconfEntry("B", std::string(3000, 'b').c_str()) == 1; },
         [] {
             char out[4096] = {};
             return GetVesconfEntry("B", out) > 0 && out[0] == 'b';
         },
         [] {
             char out[4096] = {};
             return GetVesconfEntry("A", out) > 0 && std::string(out) == "1";
         }},
        {"UART lock", "/dev/shm", [] {},
         [] { return MakeLockUart(1) == 1; },
         [] { return ReadFile("/dev/shm/uart_lck") == std::to_string(getpid()); },
         [] { return !Exists("/dev/shm/uart_lck"); }},
    };
    int falseSuccesses = 0;
    for (const Row &row : rows) {
        if (!qmtest::MountSmallTmpfs(row.dir, 512))
            GTEST_SKIP() << "no tmpfs can be mounted over " << row.dir << " here";
        row.before();
        std::string filler = qmtest::FillUp(row.dir);
        bool success = row.call();
        if (success) {
            falseSuccesses += !row.wrote();
            EXPECT_TRUE(row.wrote()) << row.name << ": answered success, not written";
        } else {
            EXPECT_TRUE(row.intact()) << row.name << ": failed, and left a change";
        }
        printf("%-40s %s\n", row.name, success ? (row.wrote() ? "written" : "SUCCESS WITHOUT WRITING")
                                               : "failed, reported");
        unlink(filler.c_str());
        qmtest::Unmount(row.dir);
    }
    printf("calls that answered success without writing: %d of %zu\n", falseSuccesses,
           sizeof rows / sizeof rows[0]);
}

// After a request that found the disk full, the next one is a line of its own.
TEST(FullDisk, RequestAfterTheDiskHadRoomAgain)
{
    QM_REQUIRE_SANDBOX();
    if (!qmtest::MountSmallTmpfs("/etc/quor", 64))
        GTEST_SKIP() << "no tmpfs can be mounted over /etc/quor here";
    WriteFile(kRequest, kOldRequests);
    std::string filler = qmtest::FillUp("/etc/quor");
    EXPECT_EQ(MakeOsServiceRequest('X', "abcdefghijklmnopqrstuvwxyz", 0, 5), 0);
    unlink(filler.c_str());
    EXPECT_EQ(MakeOsServiceRequest('Y', "next", 0, 6), 1);
    std::string file = ReadFile(kRequest);
    EXPECT_EQ(file.compare(0, kOldRequests.size(), kOldRequests), 0);
    EXPECT_EQ(file.substr(std::min(file.size(), kOldRequests.size())), "Y006PW1234-next\n");
    qmtest::Unmount("/etc/quor");
}
