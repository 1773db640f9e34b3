// The UART lock file /dev/shm/uart_lck: taking and releasing it against every state the
// file can be in (absent, a live holder, a stale id, our own id, empty, unreadable), and
// that processes taking it at the same moment do not both get it.
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qmveskar.h"
#include "serial_testkit.h"
#include "testsupport.h"

using qmtest::Exists;
using qmtest::ReadFile;
using qmtest::WriteFile;

namespace {

const char kLock[] = "/dev/shm/uart_lck";

std::string Own() { return std::to_string(getpid()); }

// A process id with no /proc entry: a child that has already been reaped.
std::string DeadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return std::to_string(pid);
}

// A live process other than this one, ended and reaped by the destructor.
struct OtherProcess {
    pid_t pid;
    OtherProcess() : pid(fork())
    {
        if (pid == 0) {
            pause();
            _exit(0);
        }
    }
    ~OtherProcess()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

std::vector<std::string> ShmEntries()
{
    std::vector<std::string> names;
    if (DIR *d = opendir("/dev/shm")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

class UartLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qmtest::InSandbox())
            GTEST_SKIP() << "not inside the private mount namespace (run through ctest)";
        unlink(kLock);
    }
    void TearDown() override { unlink(kLock); }
};

} // namespace

TEST_F(UartLock, NoFileTakeThenRelease)
{
    EXPECT_EQ(MakeLockUart(1), 1);
    bool exists = false;
    EXPECT_EQ(ReadFile(kLock, &exists), Own());  // "%d", nothing after it
    EXPECT_TRUE(exists);
    EXPECT_EQ(ShmEntries(), std::vector<std::string>{"uart_lck"});  // no helper file left
    EXPECT_EQ(MakeLockUart(0), 1);
    EXPECT_FALSE(Exists(kLock));
    EXPECT_EQ(MakeLockUart(0), 0);  // nothing left to release
}

TEST_F(UartLock, LiveOtherHolderKeepsIt)
{
    OtherProcess other;
    const std::string id = std::to_string(other.pid);
    WriteFile(kLock, id);
    EXPECT_EQ(MakeLockUart(1), 0);
    EXPECT_EQ(MakeLockUart(0), 0);
    EXPECT_EQ(ReadFile(kLock), id);
}

TEST_F(UartLock, StaleIdIsCleared)
{
    WriteFile(kLock, DeadPid());
    EXPECT_EQ(MakeLockUart(1), 1);
    EXPECT_EQ(ReadFile(kLock), Own());

    WriteFile(kLock, DeadPid());
    EXPECT_EQ(MakeLockUart(0), 0);
    EXPECT_FALSE(Exists(kLock));
}

TEST_F(UartLock, OwnIdIsNotReentrant)
{
    WriteFile(kLock, Own());
    EXPECT_EQ(MakeLockUart(1), 0);
    EXPECT_EQ(ReadFile(kLock), Own());
    EXPECT_EQ(MakeLockUart(0), 1);
    EXPECT_FALSE(Exists(kLock));
}

TEST_F(UartLock, EmptyOrNonNumericFileIsStale)
{
    for (const char *content : {"", "abc", "0", "-12", "99999999999999"}) {
        WriteFile(kLock, content);
        EXPECT_EQ(MakeLockUart(0), 0) << "'" << content << "'";
        EXPECT_FALSE(Exists(kLock)) << "'" << content << "'";

        WriteFile(kLock, content);
        EXPECT_EQ(MakeLockUart(1), 1) << "'" << content << "'";
        EXPECT_EQ(ReadFile(kLock), Own()) << "'" << content << "'";
        unlink(kLock);
    }
}

TEST_F(UartLock, IdFollowedByOtherTextCounts)
{
    OtherProcess other;
    WriteFile(kLock, std::to_string(other.pid) + "\n");  // written by a peer with a newline
    EXPECT_EQ(MakeLockUart(1), 0);
    WriteFile(kLock, Own() + " trailing");
    EXPECT_EQ(MakeLockUart(0), 1);
}

// A file this process may write but not read counts as free for taking (and is
// overwritten) and as not ours for releasing; one it may not write either cannot be
// taken. The child gives up the capabilities that let root read any file.
TEST_F(UartLock, UnreadableFile)
{
    WriteFile(kLock, "1");  // would be a live holder (init) if it could be read
    ASSERT_EQ(chmod(kLock, 0200), 0);
    auto child = serialtest::InChild([] {
        if (!serialtest::DropCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}))
            return 10;
        if (open(kLock, O_RDONLY) >= 0)
            return 11;
        if (MakeLockUart(0) != 0)
            return 12;
        return MakeLockUart(1) == 1 ? 0 : 13;
    });
    ASSERT_EQ(child.status, 0) << child.err;
    std::string content = ReadFile(kLock);
    EXPECT_NE(content, "1");
    EXPECT_EQ(content.find_first_not_of("0123456789"), std::string::npos) << content;
    EXPECT_EQ(MakeLockUart(1), 1);  // the child has ended: stale for a reader

    WriteFile(kLock, "1");
    ASSERT_EQ(chmod(kLock, 0000), 0);
    child = serialtest::InChild([] {
        if (!serialtest::DropCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}))
            return 10;
        return MakeLockUart(1) == 0 ? 0 : 14;
    });
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_EQ(ReadFile(kLock), "1");
}

// Processes that all find the lock free at the same moment: exactly one of them gets it,
// every time.
TEST_F(UartLock, SimultaneousTakersGetItOnce)
{
    constexpr int kTakers = 6;
    for (int round = 0; round < 15; ++round) {
        unlink(kLock);
        int gate[2], results[2];
        ASSERT_EQ(pipe(gate), 0);
        ASSERT_EQ(pipe(results), 0);
        std::vector<pid_t> pids;
        for (int i = 0; i < kTakers; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                close(gate[1]);
                char c;
                if (read(gate[0], &c, 1) < 0)
                    _exit(2);
                char got = char('0' + MakeLockUart(1));
                if (write(results[1], &got, 1) != 1)
                    _exit(2);
                pause();  // stay alive, so that the winner's lock is not stale
                _exit(0);
            }
            pids.push_back(pid);
        }
        close(gate[0]);
        close(gate[1]);  // releases every taker at once
        int winners = 0;
        for (int i = 0; i < kTakers; ++i) {
            char got = 0;
            ASSERT_EQ(read(results[0], &got, 1), 1);
            winners += got == '1';
        }
        close(results[0]);
        close(results[1]);
        std::string holder = ReadFile(kLock);
        bool holderIsTaker = false;
        for (pid_t pid : pids) {
            holderIsTaker |= holder == std::to_string(pid);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        EXPECT_EQ(winners, 1) << "round " << round;
        EXPECT_TRUE(holderIsTaker) << holder;
        EXPECT_EQ(ShmEntries(), std::vector<std::string>{"uart_lck"});
    }
}
