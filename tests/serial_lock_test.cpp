// The UART lock file /dev/shm/uart_lck: taking and releasing it against every state the
// file can be in (absent, a live holder, a stale id, our own id, empty, unreadable, stale
// of another user), eight processes taking it at the same moment from each of them, a
// caller held in the middle of clearing a stale lock, and a taker killed on the way.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <map>
#include <set>
#include <poll.h>
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

std::vector<std::string> ShmEntries() { return qmtest::DirEntries("/dev/shm"); }

class UartLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qmtest::InSandbox())
            GTEST_SKIP() << "not inside the private mount namespace (run through ctest)";
        unlink(kLock);
    }
    void TearDown() override
    {
        for (const std::string &name : ShmEntries())  // the sandbox's own /dev/shm
            unlink(("/dev/shm/" + name).c_str());
    }
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

// ---- Many callers at once -----------------------------------------------------------

namespace {

const uid_t kFileOwner = 4242, kTakerUser = 4243;  // two users other than root
int reachedFd = -1;  // where StallAtUnlink tells the test that its caller is there

// Holds the caller 300 ms at its removal of the lock name.
int StallAtUnlink(const char *call)
{
    if (strcmp(call, "unlink") == 0 && write(reachedFd, "!", 1) == 1)
        usleep(300000);
    return 0;
}

bool Readable(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 30000) == 1;
}

// How the lock file is laid out before each round, and who calls: eight takers and a
// releaser (MakeLockUart(0), clearing what is stale) released together, as another user or
// without the capabilities that read and remove any file. Or a leader (MakeLockUart(leader))
// released first and held in StallAtUnlink, and the eight takers once it is there. The
// callers live through all rounds, so a winner's lock is not stale while the test looks.
struct StartState {
    const char *name;
    std::function<void()> prepare;
    size_t winners;  // per round: 1, or 0 while a live process holds the lock
    uid_t uid = 0;   // 0: stay root
    bool dropCaps = false;
    int leader = -1;  // -1: none
    int rounds = 200;
};

struct Report {
    int32_t pid, take, got;  // got -1: the caller could not become what the state asks
};

// A caller: one call per byte at its gate, each reported. Returns the gate.
int StartCaller(const StartState &s, int take, bool leads, int reports, std::vector<pid_t> &pids)
{
    int gate[2];
    if (pipe(gate) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        bool ready = (!s.uid || (setgroups(0, nullptr) == 0 && setgid(s.uid) == 0 &&
                                 setuid(s.uid) == 0)) &&
                     (!s.dropCaps || serialtest::DropCapabilities({CAP_DAC_OVERRIDE,
                                                                   CAP_DAC_READ_SEARCH, CAP_FOWNER}));
        if (leads)
            serialtest::EntryHook = StallAtUnlink;
        for (char go; read(gate[0], &go, 1) == 1;) {
            Report r = {int32_t(getpid()), take, ready ? MakeLockUart(take) : -1};
            if (write(reports, &r, sizeof r) != sizeof r)
                break;
        }
        _exit(2);
    }
    pids.push_back(pid);
    close(gate[0]);
    return gate[1];
}

// Every round: the expected number of winners, the lock holding the winner's id (or, with
// no winner, what it held before), nothing else left in /dev/shm. Prints the rounds by
// their number of winners.
void RunRounds(const StartState &s)
{
    int reports[2], reached[2];
    ASSERT_EQ(pipe(reports) | pipe(reached), 0);
    reachedFd = reached[1];
    serialtest::HookedName = kLock;
    std::vector<int> takes(8, 1), gates;
    takes.insert(s.leader < 0 ? takes.end() : takes.begin(), s.leader < 0 ? 0 : s.leader);
    std::vector<pid_t> pids;
    for (size_t i = 0; i < takes.size(); ++i)
        gates.push_back(StartCaller(s, takes[i], s.leader >= 0 && i == 0, reports[1], pids));
    std::map<size_t, int> byWinners;
    int run = 0, wrong = 0;
    std::string first;
    for (bool inStep = true; inStep && run < s.rounds; ++run) {
        unlink(kLock);
        s.prepare();
        const std::string before = ReadFile(kLock);
        char c;
        for (size_t i = 0; i < gates.size() && inStep; ++i)
            inStep = write(gates[i], "g", 1) == 1 &&
                     (i > 0 || s.leader < 0 || (Readable(reached[0]) && read(reached[0], &c, 1) == 1));
        std::set<std::string> winners;
        int releases = 0;
        for (size_t i = 0; i < gates.size() && inStep; ++i) {
            Report r;
            inStep = Readable(reports[0]) && read(reports[0], &r, sizeof r) == sizeof r && r.got >= 0;
            if (inStep && r.got == 1 && r.take)
                winners.insert(std::to_string(r.pid));
            releases += inStep && r.got == 1 && !r.take;
        }
        const std::string lock = ReadFile(kLock);
        ++byWinners[winners.size()];
        bool ok = inStep && !releases && winners.size() == s.winners &&
                  (s.winners ? winners.count(lock) == 1 : lock == before) &&
                  ShmEntries() == std::vector<std::string>{"uart_lck"};
        if (!ok && wrong++ == 0)
            first = "round " + std::to_string(run + 1) + ": " + std::to_string(winners.size()) +
                    " winners, lock '" + lock + "', " + std::to_string(ShmEntries().size()) +
                    " files in /dev/shm" + (inStep ? "" : ", the callers out of step");
    }
    for (pid_t pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int fd : gates)
        close(fd);
    for (int fd : {reports[0], reports[1], reached[0], reached[1]})
        close(fd);
    serialtest::HookedName = nullptr;
    std::string figure;
    for (auto [winners, count] : byWinners)
        figure += " " + std::to_string(count) + "x" + std::to_string(winners);
    printf("uart lock %-12s %3d rounds, rounds x winners:%s; %d wrong\n", s.name, run,
           figure.c_str(), wrong);
    ::testing::Test::RecordProperty(s.name, figure);
    EXPECT_EQ(wrong, 0) << s.name << ", first " << first;
}

void StaleLock()
{
    static const std::string dead = DeadPid();  // pids are not reused this soon
    WriteFile(kLock, dead);
}

} // namespace

// One taker gets the lock (none while a live process holds it), every time; the releaser
// never removes the winner's lock, nor does a caller held in the middle of clearing a stale
// lock while the others go ahead.
TEST_F(UartLock, SimultaneousCallersFromEveryStartState)
{
    OtherProcess live;
    const StartState states[] = {
        {"no file", [] {}, 1},
        {"stale", StaleLock, 1},
        {"empty", [] { WriteFile(kLock, ""); }, 1},
        {"unreadable", [] { WriteFile(kLock, "1"), chmod(kLock, 0200); }, 1, 0, true},
        {"live holder", [&] { WriteFile(kLock, std::to_string(live.pid)); }, 0},
        {"held taker", StaleLock, 1, 0, false, 1, 3},
        {"held release", StaleLock, 1, 0, false, 0, 3},
    };
    for (const StartState &state : states)
        RunRounds(state);
}

// A stale lock of another user in the sticky /dev/shm: the takers cannot remove it, but its
// mode lets them write it.
TEST_F(UartLock, SimultaneousTakersAtStaleLockOfAnotherUser)
{
    WriteFile(kLock, "");
    if (chown(kLock, kFileOwner, kFileOwner) != 0)
        GTEST_SKIP() << "cannot give a file to another user here (not root: the user "
                        "namespace maps one user only)";
    RunRounds({"other user",
               [] { StaleLock(), chown(kLock, kFileOwner, kFileOwner), chmod(kLock, 0666); }, 1,
               kTakerUser});
}

// A taker killed just before its lock gets the lock name leaves no file of it behind.
TEST_F(UartLock, KilledTakerLeavesNoFile)
{
    auto child = serialtest::InChild([] {
        serialtest::HookedName = kLock;
        serialtest::EntryHook = [](const char *call) {
            return strcmp(call, "unlink") ? raise(SIGKILL) : 0;
        };
        return MakeLockUart(1);
    });
    EXPECT_EQ(child.status, 128 + SIGKILL);
    EXPECT_EQ(ShmEntries(), std::vector<std::string>{});
}

// Where the file system refuses the unnamed file's link, or links at all, the lock is still
// made whole, with no file left beside it.
TEST_F(UartLock, LinksRefused)
{
    serialtest::HookedName = kLock;
    for (auto refuse : {+[](const char *call) { return strcmp(call, "linkat") ? 0 : EPERM; },
                        +[](const char *call) { return strcmp(call, "unlink") ? EPERM : 0; }}) {
        serialtest::EntryHook = refuse;
        EXPECT_EQ(MakeLockUart(1), 1);
        EXPECT_EQ(ReadFile(kLock), Own());
        EXPECT_EQ(ShmEntries(), std::vector<std::string>{"uart_lck"});
        EXPECT_EQ(MakeLockUart(0), 1);
    }
    serialtest::EntryHook = nullptr;
}
