// The I/O interface request record in /dev/shm: field placement, the keep value 255, short
// and long files, the lock file and its bounded wait (also for a lock left by a dead
// process or by another user), a full disk, the change marker, processes writing and
// reading at once; and the digital I/O port byte in /dev/port.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "privileges.h"
#include "qmveskar.h"
#include "testsupport.h"

namespace {

const char kRecord[] = "/dev/shm/ves_iface";
const char kLock[] = "/dev/shm/ves_iface.lok";

using Bytes = std::vector<unsigned char>;

Bytes FileBytes(const char *path)
{
    std::string s = qmtest::ReadFile(path);
    return Bytes(s.begin(), s.end());
}

void PutBytes(const char *path, const Bytes &b) { qmtest::WriteFile(path, std::string(b.begin(), b.end())); }

void SetMtime(const char *path, time_t sec, long nsec = 0)
{
    timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path, t, 0), 0);
}

// A lock file left by a process that has ended.
void LeaveDeadLock()
{
    pid_t pid = fork();
    if (pid == 0) {
        FILE *f = fopen(kLock, "w");
        if (f) {
            fprintf(f, "%d", int(getpid()));
            fclose(f);
        }
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(qmtest::Exists(kLock));
}

class IoIface : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        unlink(kRecord);
        rmdir(kLock);
        unlink(kLock);
    }
};

} // namespace

TEST_F(IoIface, AllKeepOnMissingFileCreatesTenZeroBytes)
{
    EXPECT_EQ(SetIoInterfaceRequest(255, 255, 255, 255, 255, 255, 255, 255, 0), 1);
    EXPECT_EQ(FileBytes(kRecord), Bytes(10, 0));
    EXPECT_FALSE(qmtest::Exists(kLock));
}

TEST_F(IoIface, ArgumentsLandAtTheirOffsets)
{
    ASSERT_EQ(SetIoInterfaceRequest(0x11, 0x22, 0x33, 0x44, 0x55, 0x8877, 0xAA99, 0x66, 0), 1);
    EXPECT_EQ(FileBytes(kRecord),
              (Bytes{0x11, 0x22, 0x33, 0x44, 0x66, 0x55, 0x99, 0xAA, 0x77, 0x88}));
    uint8_t at5 = 0, at4 = 0;
    uint16_t at6 = 0;
    Bytes whole(10, 0xEE);
    EXPECT_EQ(GetIoInterfaceRequest(&at5, &at6, &at4, whole.data()), 1);
    EXPECT_EQ(at5, 0x55);
    EXPECT_EQ(at6, 0xAA99);
    EXPECT_EQ(at4, 0x66);
    EXPECT_EQ(whole, FileBytes(kRecord));
    // Every output is optional.
    EXPECT_EQ(GetIoInterfaceRequest(nullptr, nullptr, nullptr, nullptr), 1);
    at5 = 0;
    EXPECT_EQ(GetIoInterfaceRequest(&at5, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(at5, 0x55);
    EXPECT_FALSE(qmtest::Exists(kLock));
}

TEST_F(IoIface, Value255KeepsFieldAnd65535IsStored)
{
    ASSERT_EQ(SetIoInterfaceRequest(1, 2, 3, 4, 5, 0x0102, 0x0304, 6, 0), 1);
    // 65535 is an ordinary 16-bit value; 255 in the 8-bit fields keeps them.
    ASSERT_EQ(SetIoInterfaceRequest(255, 9, 255, 255, 255, 65535, 255, 255, 0), 1);
    EXPECT_EQ(FileBytes(kRecord), (Bytes{1, 9, 3, 4, 6, 5, 0x04, 0x03, 0xFF, 0xFF}));
    // 255 (0x00FF) in a 16-bit field keeps it; 0x01FF does not.
    ASSERT_EQ(SetIoInterfaceRequest(255, 255, 255, 255, 255, 255, 0x01FF, 0, 0), 1);
    EXPECT_EQ(FileBytes(kRecord), (Bytes{1, 9, 3, 4, 0, 5, 0xFF, 0x01, 0xFF, 0xFF}));
}

TEST_F(IoIface, ShortAndLongFiles)
{
    PutBytes(kRecord, {1, 2, 3, 4});
    Bytes whole(10, 0xEE);
    uint8_t at5 = 0xEE, at4 = 0xEE;
    uint16_t at6 = 0xEEEE;
    EXPECT_EQ(GetIoInterfaceRequest(&at5, &at6, &at4, whole.data()), 1);
    EXPECT_EQ(whole, (Bytes{1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(at5, 0);
    EXPECT_EQ(at6, 0);
    EXPECT_EQ(at4, 0);
    ASSERT_EQ(SetIoInterfaceRequest(255, 255, 255, 255, 7, 255, 255, 255, 0), 1);
    EXPECT_EQ(FileBytes(kRecord), (Bytes{1, 2, 3, 4, 0, 7, 0, 0, 0, 0}));

    // Bytes past the tenth belong to someone else and stay.
    PutBytes(kRecord, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA, 0xB, 0xC});
    ASSERT_EQ(SetIoInterfaceRequest(8, 255, 255, 255, 255, 255, 255, 255, 0), 1);
    EXPECT_EQ(FileBytes(kRecord), (Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA, 0xB, 0xC}));
}

TEST_F(IoIface, MissingFileGivesZeroAndLeavesOutputs)
{
    uint8_t at5 = 0xEE, at4 = 0xEE;
    uint16_t at6 = 0xEEEE;
    Bytes whole(10, 0xEE);
    EXPECT_EQ(GetIoInterfaceRequest(&at5, &at6, &at4, whole.data()), 0);
    EXPECT_EQ(at5, 0xEE);
    EXPECT_EQ(at6, 0xEEEE);
    EXPECT_EQ(at4, 0xEE);
    EXPECT_EQ(whole, Bytes(10, 0xEE));
    EXPECT_FALSE(qmtest::Exists(kLock));
    EXPECT_FALSE(qmtest::Exists(kRecord));
    EXPECT_EQ(GetVesIfaceSetStatus(whole.data()), 0);
}

TEST_F(IoIface, DeadHoldersLockCostsOneBoundedWait)
{
    ASSERT_EQ(SetIoInterfaceRequest(1, 1, 1, 1, 1, 1, 1, 1, 0), 1);
    LeaveDeadLock();
    double t0 = qmtest::NowSeconds();
    EXPECT_EQ(SetIoInterfaceRequest(2, 255, 255, 255, 255, 255, 255, 255, 0), 1);
    double waited = qmtest::NowSeconds() - t0;
    EXPECT_GE(waited, 1.8);
    EXPECT_LE(waited, 4.0);
    EXPECT_FALSE(qmtest::Exists(kLock));
    EXPECT_EQ(FileBytes(kRecord), (Bytes{2, 1, 1, 1, 1, 1, 1, 0, 1, 0}));

    // The stale lock is gone now: the next caller does not wait.
    t0 = qmtest::NowSeconds();
    EXPECT_EQ(GetIoInterfaceRequest(nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_LT(qmtest::NowSeconds() - t0, 1.0);

    // The change detector waits for a lock as long, but never takes or removes it.
    LeaveDeadLock();
    SetMtime(kRecord, 1000000);
    t0 = qmtest::NowSeconds();
    EXPECT_EQ(GetVesIfaceSetStatus(nullptr), 1);
    waited = qmtest::NowSeconds() - t0;
    EXPECT_GE(waited, 1.8);
    EXPECT_LE(waited, 4.0);
    EXPECT_TRUE(qmtest::Exists(kLock));
    unlink(kLock);
}

TEST_F(IoIface, LockThatCannotBeCreatedTouchesNothing)
{
    PutBytes(kRecord, {5, 5, 5, 5, 5, 5, 5, 5, 5, 5});
    ASSERT_EQ(mkdir(kLock, 0755), 0);  // stands where the lock file would be created
    uint8_t at5 = 0xEE;
    double t0 = qmtest::NowSeconds();
    EXPECT_EQ(SetIoInterfaceRequest(1, 1, 1, 1, 1, 1, 1, 1, 1), 0);
    EXPECT_GE(qmtest::NowSeconds() - t0, 1.8);  // it waited for the "lock" first
    EXPECT_EQ(GetIoInterfaceRequest(&at5, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(at5, 0xEE);
    EXPECT_EQ(FileBytes(kRecord), Bytes(10, 5));
    EXPECT_EQ(rmdir(kLock), 0);
}

// A stale lock file of another user in the sticky /dev/shm, which the caller may not
// remove, is taken over after the 2 s wait. One that it may write is overwritten and left
// empty at the end, which is free: the next call and the change detector go on at once.
// One that it may not write stays as it is; every call then does its work after the wait.
TEST_F(IoIface, StaleLockOfAnotherUser)
{
    qmtest::WriteFile(kLock, "");
    if (std::string why = qmtest::OtherUsersHere(kLock); !why.empty())
        GTEST_SKIP() << why;
    for (mode_t mode : {0666, 0644}) {
        PutBytes(kRecord, Bytes(10, 0));
        ASSERT_EQ(chmod(kRecord, 0666), 0);
        LeaveDeadLock();
        const std::string dead = qmtest::ReadFile(kLock);
        ASSERT_EQ(chown(kLock, qmtest::kFileOwner, qmtest::kFileOwner) | chmod(kLock, mode), 0);
        int r = qmtest::InChild([mode] {
            if (!qmtest::BecomeUser(qmtest::kOtherUser))
                return 10;
            double t0 = qmtest::NowSeconds();
            if (SetIoInterfaceRequest(1, 255, 255, 255, 255, 255, 255, 255, 0) != 1)
                return 11;
            double t1 = qmtest::NowSeconds();
            if (t1 - t0 < 1.8 || SetIoInterfaceRequest(255, 2, 255, 255, 255, 255, 255, 255, 0) != 1)
                return 12;
            double t2 = qmtest::NowSeconds();
            if ((t2 - t1 < 1.0) != (mode == 0666))
                return 13;  // the emptied lock is free, the other one stays in the way
            return mode != 0666 || (GetVesIfaceSetStatus(nullptr) == 1 && qmtest::NowSeconds() - t2 < 1.0)
                       ? 0 : 14;
        }).status;
        EXPECT_EQ(r, 0) << std::oct << mode;
        EXPECT_EQ(FileBytes(kRecord), (Bytes{1, 2, 0, 0, 0, 0, 0, 0, 0, 0})) << std::oct << mode;
        EXPECT_EQ(qmtest::ReadFile(kLock), mode == 0666 ? "" : dead) << std::oct << mode;
    }
}

// On a full disk with room for the lock file only: a record write that does not go in is
// reported and leaves the record as it was (a new one is not left behind empty); a short
// record has its page already and takes the write.
TEST_F(IoIface, FullDiskWriteIsReportedAndChangesNothing)
{
    struct Row {
        const char *name;
        bool exists;
        std::string before;
        int result;
        std::string after;
    };
    const Row rows[] = {
        {"new record", false, "", 0, ""},
        {"empty record", true, "", 0, ""},
        {"short record", true, "\1\2\3\4", 1, std::string("\1\2\3\4\0\7\0\0\0\0", 10)},
    };
    for (const Row &row : rows) {
        if (!qmtest::MountSmallTmpfs("/dev/shm", 64))
            GTEST_SKIP() << "no tmpfs can be mounted over /dev/shm here";
        if (row.exists)
            qmtest::WriteFile(kRecord, row.before);
        qmtest::WriteFile("/dev/shm/room", std::string(4096, 'r'));  // one page, for the lock
        const std::string filler = qmtest::FillUp("/dev/shm");
        unlink("/dev/shm/room");
        EXPECT_EQ(SetIoInterfaceRequest(255, 255, 255, 255, 7, 255, 255, 255, 0), row.result)
            << row.name;
        bool exists = false;
        EXPECT_EQ(qmtest::ReadFile(kRecord, &exists), row.after) << row.name;
        EXPECT_EQ(exists, row.exists || row.result) << row.name;
        EXPECT_EQ(GetIoInterfaceRequest(nullptr, nullptr, nullptr, nullptr), exists ? 1 : 0)
            << row.name;
        EXPECT_FALSE(qmtest::Exists(kLock)) << row.name;
        unlink(filler.c_str());
        qmtest::Unmount("/dev/shm");
    }
}

TEST_F(IoIface, ChangeMarkerReportsEachNewSecondOnce)
{
    PutBytes(kRecord, {1, 2, 3, 4});
    SetMtime(kRecord, 2000000, 100);
    int r = qmtest::InChild([] {
        Bytes buf(10, 0xEE);
        if (GetVesIfaceSetStatus(buf.data()) != 1)
            return 10;  // a time this process has not seen yet is a change
        // Read straight into the buffer: the bytes past the file's end stay as they were.
        if (buf != Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE})
            return 11;
        if (GetVesIfaceSetStatus(buf.data()) != 0)
            return 12;
        timespec same[2] = {{2000000, 900}, {2000000, 900}};
        utimensat(AT_FDCWD, kRecord, same, 0);
        if (GetVesIfaceSetStatus(nullptr) != 0)
            return 13;  // same whole second: not a change
        timespec next[2] = {{2000001, 0}, {2000001, 0}};
        utimensat(AT_FDCWD, kRecord, next, 0);
        if (GetVesIfaceSetStatus(nullptr) != 1 || GetVesIfaceSetStatus(nullptr) != 0)
            return 14;
        // A change of one's own with the notify flag is not reported back ...
        if (SetIoInterfaceRequest(9, 255, 255, 255, 255, 255, 255, 255, 1) != 1)
            return 15;
        if (GetVesIfaceSetStatus(nullptr) != 0)
            return 16;
        // ... without it, it is.
        utimensat(AT_FDCWD, kRecord, same, 0);
        if (GetVesIfaceSetStatus(nullptr) != 1)
            return 17;
        if (SetIoInterfaceRequest(8, 255, 255, 255, 255, 255, 255, 255, 0) != 1)
            return 18;
        if (GetVesIfaceSetStatus(nullptr) != 1)
            return 19;
        return 0;
    }).status;
    EXPECT_EQ(r, 0);
}

namespace {

// The record that writer w writes in round k: all eight fields set (none is 255), so that
// every record in the file is one writer's whole request.
struct Request {
    uint8_t at0, at1, at2, at3, at5, at4;
    uint16_t at8, at6;
};

Request RequestOf(int w, int k)
{
    return {uint8_t(0x10 + w),      uint8_t(k % 200),      uint8_t(k * 3 % 200),
            uint8_t(k * 7 % 200),   uint8_t(w * 50 + k % 50), uint8_t((k + w) % 200),
            uint16_t(1000 + k),     uint16_t(0x4000 + w * 0x1000 + k)};
}

Bytes BytesOf(const Request &q)
{
    return {q.at0, q.at1, q.at2, q.at3, q.at4, q.at5, uint8_t(q.at6), uint8_t(q.at6 >> 8),
            uint8_t(q.at8), uint8_t(q.at8 >> 8)};
}

bool IsSomeWritersRecord(const Bytes &b)
{
    int w = b[0] - 0x10;
    int k = (b[8] | (b[9] << 8)) - 1000;
    return w >= 0 && w <= 2 && k >= 0 && BytesOf(RequestOf(w, k)) == b;
}

} // namespace

TEST_F(IoIface, TwoWritersAndAReaderInSeparateProcesses)
{
    const Request first = RequestOf(0, 0);
    ASSERT_EQ(SetIoInterfaceRequest(first.at0, first.at1, first.at2, first.at3, first.at5,
                                    first.at8, first.at6, first.at4, 0), 1);
    const double kRun = 3.0;
    std::vector<pid_t> writers;
    for (int w = 1; w <= 2; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            double end = qmtest::NowSeconds() + kRun;
            // Rounds are capped so that the round number fits the 16-bit fields.
            for (int k = 0; k < 30000 && qmtest::NowSeconds() < end; ++k) {
                Request q = RequestOf(w, k);
                if (SetIoInterfaceRequest(q.at0, q.at1, q.at2, q.at3, q.at5, q.at8, q.at6, q.at4,
                                          uint8_t(k & 1)) != 1)
                    _exit(1);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    int reads = 0, failed = 0, foreign = 0, running = 2;
    std::vector<int> status(2, -1);
    while (running > 0) {
        Bytes whole(10, 0);
        uint8_t at5 = 0, at4 = 0;
        uint16_t at6 = 0;
        if (GetIoInterfaceRequest(&at5, &at6, &at4, whole.data()) != 1) {
            ++failed;
        } else {
            ++reads;
            if (!IsSomeWritersRecord(whole) || at5 != whole[5] || at4 != whole[4] ||
                at6 != (whole[6] | (whole[7] << 8)))
                ++foreign;
        }
        Bytes seen(10, 0);
        if (GetVesIfaceSetStatus(seen.data()) == 1 && !IsSomeWritersRecord(seen))
            ++foreign;
        for (int i = 0; i < 2; ++i) {
            int st = 0;
            if (status[i] == -1 && waitpid(writers[i], &st, WNOHANG) == writers[i]) {
                status[i] = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
                --running;
            }
        }
    }
    EXPECT_EQ(status, (std::vector<int>{0, 0}));
    EXPECT_GT(reads, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(foreign, 0);
    EXPECT_TRUE(IsSomeWritersRecord(FileBytes(kRecord)));
    EXPECT_EQ(FileBytes(kRecord).size(), 10u);
    EXPECT_FALSE(qmtest::Exists(kLock));
}

// ---- Digital I/O port -----------------------------------------------------------------

namespace {

const char kPort[] = "/dev/port";

void PutPortByte(unsigned char b)
{
    int fd = open(kPort, O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &b, 1, 2049), 1);
    close(fd);
}

unsigned char PortByte()
{
    unsigned char b = 0;
    int fd = open(kPort, O_RDONLY);
    if (fd >= 0) {
        if (pread(fd, &b, 1, 2049) != 1)
            b = 0;
        close(fd);
    }
    return b;
}

} // namespace

TEST(DiPort, SetDrivesBits3And2AndKeepsTheRest)
{
    QM_REQUIRE_SANDBOX();
    PutPortByte(0xF3);
    EXPECT_EQ(SetDiStatus(3), 3);
    EXPECT_EQ(PortByte(), 0xFF);
    EXPECT_EQ(SetDiStatus(0), 0);
    EXPECT_EQ(PortByte(), 0xF3);
    EXPECT_EQ(SetDiStatus(0x41), 0x41);
    EXPECT_EQ(PortByte(), 0xFB);
    PutPortByte(0x04);
    EXPECT_EQ(SetDiStatus(0xFE), 0xFE);  // bit 1 only
    EXPECT_EQ(PortByte(), 0x04);
    // Neighbouring port bytes are not touched.
    std::string port = qmtest::ReadFile(kPort);
    ASSERT_EQ(port.size(), 65536u);
    EXPECT_EQ(port[2048], '\0');
    EXPECT_EQ(port[2050], '\0');
}

TEST(DiPort, GetReportsBits7And6Inverted)
{
    QM_REQUIRE_SANDBOX();
    const std::pair<unsigned char, int> cases[] = {
        {0x80, 2}, {0x40, 1}, {0xC0, 0}, {0x00, 3}, {0x3F, 3}, {0xFF, 0}};
    for (auto [byte, want] : cases) {
        PutPortByte(byte);
        EXPECT_EQ(GetDiStatus(), want) << int(byte);
    }
}

TEST(DiPort, MissingDeviceGivesMinus128)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(rename(kPort, "/dev/port.away"), 0);
    EXPECT_EQ(GetDiStatus(), -128);
    EXPECT_EQ(SetDiStatus(3), -128);
    EXPECT_FALSE(qmtest::Exists(kPort));
    ASSERT_EQ(rename("/dev/port.away", kPort), 0);
}

// A port byte that cannot be read leaves the six bits of the others unknown: nothing is
// written (here the device ends before the port's offset, so the read finds nothing).
TEST(DiPort, UnreadableByteIsNeverOverwritten)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(truncate(kPort, 2000), 0);
    EXPECT_EQ(SetDiStatus(3), -128);
    struct stat st;
    ASSERT_EQ(stat(kPort, &st), 0);
    EXPECT_EQ(st.st_size, 2000);
    ASSERT_EQ(truncate(kPort, 65536), 0);
}
