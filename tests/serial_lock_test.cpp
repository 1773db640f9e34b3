// The UART lock file /dev/shm/uart_lck: taking and releasing it against every state the
// file can be in (absent, a live holder, a stale id, our own id, empty, unreadable, stale
// of another user), eight processes taking it at the same moment from each of them, a
// caller held in the middle of clearing a stale lock, and a taker killed on the way. The
// I/O interface lock /dev/shm/ves_iface.lok from the same start states: eight processes
// each setting its own field of the request record at once, one inside at a time, no
// field lost; and a holder slower than the bound, whose lock is taken over.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <map>
#include <new>
#include <set>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "entryhook.h"
#include "privileges.h"
#include "qmveskar.h"
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
    ~OtherProcess() { qmtest::KillChild(pid); }
};

std::vector<std::string> ShmEntries() { return qmtest::DirEntries("/dev/shm"); }

class UartLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        unlink(kLock);
    }
    void TearDown() override
    {
        for (const std::string &name : ShmEntries())  // the sandbox's own /dev/shm
            unlink(("/dev/shm/" + name).c_str());
    }
};

class IoIfaceLock : public UartLock {};

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
    auto child = qmtest::InChild([] {
        if (!qmtest::DropCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}))
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
    child = qmtest::InChild([] {
        if (!qmtest::DropCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}))
            return 10;
        return MakeLockUart(1) == 0 ? 0 : 14;
    });
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_EQ(ReadFile(kLock), "1");
}

// ---- Many callers at once -----------------------------------------------------------

namespace {

const uid_t kFileOwner = qmtest::kFileOwner, kTakerUser = qmtest::kOtherUser;
const char kRecord[] = "/dev/shm/ves_iface";
const char kIfaceLock[] = "/dev/shm/ves_iface.lok";
int reachedFd = -1;    // where a leader tells the test that it is held in its call
bool leading = false;  // in a caller: it is the leader of its start state
int holdUs = 0;        // in an I/O interface caller: how long it stays at its record write

// Callers of the I/O interface lock inside their call now, and the most at once.
struct Inside {
    std::atomic<int> now, most;
} *inside = nullptr;

// The UART lock's leader is held 300 ms at its removal of the lock name.
int StallAtUnlink(const char *call)
{
    if (leading && strcmp(call, "unlink") == 0 && write(reachedFd, "!", 1) == 1)
        usleep(300000);
    return 0;
}

// An I/O interface caller counts itself inside while it writes the record, and stays there
// holdUs (the leader 600 ms), so that callers inside together overlap.
int CountInside(const char *call)
{
    if (strcmp(call, "pwrite") != 0)
        return 0;
    int n = ++inside->now, most = inside->most;
    while (n > most && !inside->most.compare_exchange_weak(most, n)) {
    }
    usleep(leading && write(reachedFd, "!", 1) == 1 ? 600000 : holdUs);
    --inside->now;
    return 0;
}

// SetIoInterfaceRequest with argument field (0..7) set to value, every other one 255.
int SetField(int, int field, uint8_t value)
{
    unsigned a[8] = {255, 255, 255, 255, 255, 255, 255, 255};
    if (field >= 0)
        a[field] = value;
    return SetIoInterfaceRequest(a[0], a[1], a[2], a[3], a[4], uint16_t(a[5]), uint16_t(a[6]),
                                 a[7], 0);
}

// What the argument field of SetIoInterfaceRequest reads as in the record.
unsigned FieldValue(const std::string &record, int field)
{
    static const size_t at[8] = {0, 1, 2, 3, 5, 8, 6, 4};
    auto byte = [&](size_t i) { return i < record.size() ? unsigned(uint8_t(record[i])) : 0u; };
    return byte(at[field]) | (field == 5 || field == 6 ? byte(at[field] + 1) << 8 : 0);
}

// A lock under test: the name its callers' hook watches, the hook, and a caller's call
// (take: MakeLockUart's argument; field: the argument an I/O interface caller sets).
struct LockKind {
    const char *hooked;
    int (*hook)(const char *call);
    int (*call)(int take, int field, uint8_t value);
};

const LockKind kUart = {kLock, StallAtUnlink, [](int take, int, uint8_t) { return MakeLockUart(take); }};
const LockKind kIface = {kRecord, CountInside, SetField};

bool Readable(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 30000) == 1;
}

// How the lock file is laid out before each round, and who calls: eight takers (for the
// UART lock with a releaser, MakeLockUart(0), clearing what is stale) released together, as
// another user or without the capabilities that read and remove any file. Or a leader
// (MakeLockUart(leader); for the I/O interface lock a call that keeps every field) released
// first and held in its hook, and the eight takers once it is there. The callers live
// through all rounds, so a winner's lock is not stale while the test looks.
struct StartState {
    const char *name;
    std::function<void()> prepare;
    size_t winners;  // UART lock, per round: 1, or 0 while a live process holds the lock
    uid_t uid = 0;   // 0: stay root
    bool dropCaps = false;
    int leader = -1;  // -1: none
    int rounds = 200;
    const LockKind *lock = &kUart;
    int holdUs = 0;
};

struct Report {
    int32_t pid, take, got;  // got -1: the caller could not become what the state asks
};

// The callers of a start state, ended by the destructor.
struct Callers {
    std::vector<pid_t> pids;
    std::vector<int> gates;
    int reports[2] = {-1, -1}, reached[2] = {-1, -1};
    ~Callers()
    {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : gates)
            close(fd);
        for (int fd : {reports[0], reports[1], reached[0], reached[1]})
            close(fd);
        qmtest::HookedName = nullptr;
    }
};

// A caller: one call per byte at its gate (the byte is the round's value), each reported.
void StartCaller(const StartState &s, int take, int field, bool leads, Callers &c)
{
    int gate[2];
    if (pipe(gate) != 0)
        return;
    pid_t pid = fork();
    if (pid == 0) {
        bool ready = (!s.uid || qmtest::BecomeUser(s.uid)) &&
                     (!s.dropCaps || qmtest::DropCapabilities({CAP_DAC_OVERRIDE,
                                                                   CAP_DAC_READ_SEARCH, CAP_FOWNER}));
        leading = leads;
        holdUs = s.holdUs;
        qmtest::EntryHook = s.lock->hook;
        for (uint8_t go; read(gate[0], &go, 1) == 1;) {
            Report r = {int32_t(getpid()), take,
                        ready ? s.lock->call(take, field, uint8_t(go + field)) : -1};
            if (write(c.reports[1], &r, sizeof r) != sizeof r)
                break;
        }
        _exit(2);
    }
    c.pids.push_back(pid);
    close(gate[0]);
    c.gates.push_back(gate[1]);
}

void StartCallers(const StartState &s, Callers &c)
{
    static Inside *shared = new (mmap(nullptr, sizeof(Inside), PROT_READ | PROT_WRITE,
                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Inside();
    inside = shared;
    ASSERT_EQ(pipe(c.reports) | pipe(c.reached), 0);
    reachedFd = c.reached[1];
    qmtest::HookedName = s.lock->hooked;
    if (s.leader >= 0)
        StartCaller(s, s.leader, -1, true, c);
    for (int i = 0; i < 8; ++i)
        StartCaller(s, 1, i, false, c);
    if (s.leader < 0 && s.lock == &kUart)
        StartCaller(s, 0, -1, false, c);  // the releaser
}

// One round: the leader let go first and, once it is held in its call, the others; got
// their reports. False when the callers fell out of step.
bool RunRound(const StartState &s, Callers &c, uint8_t value, std::vector<Report> &got)
{
    got.clear();
    char go = char(value), mark;
    bool inStep = c.gates.size() >= 8;
    for (size_t i = 0; i < c.gates.size() && inStep; ++i)
        inStep = write(c.gates[i], &go, 1) == 1 &&
                 (i > 0 || s.leader < 0 || (Readable(c.reached[0]) && read(c.reached[0], &mark, 1) == 1));
    for (size_t i = 0; i < c.gates.size() && inStep; ++i) {
        Report r;
        inStep = Readable(c.reports[0]) && read(c.reports[0], &r, sizeof r) == sizeof r && r.got >= 0;
        if (inStep)
            got.push_back(r);
    }
    return inStep;
}

// Every round: the expected number of winners, the lock holding the winner's id (or, with
// no winner, what it held before), nothing else left in /dev/shm. Prints the rounds by
// their number of winners.
void RunRounds(const StartState &s)
{
    Callers callers;
    StartCallers(s, callers);
    std::map<size_t, int> byWinners;
    int run = 0, wrong = 0;
    std::string first;
    std::vector<Report> got;
    for (bool inStep = true; inStep && run < s.rounds; ++run) {
        unlink(kLock);
        s.prepare();
        const std::string before = ReadFile(kLock);
        inStep = RunRound(s, callers, 'g', got);
        std::set<std::string> winners;
        int releases = 0;
        for (const Report &r : got) {
            if (r.got == 1 && r.take)
                winners.insert(std::to_string(r.pid));
            releases += r.got == 1 && !r.take;
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
    std::string figure;
    for (auto [winners, count] : byWinners)
        figure += " " + std::to_string(count) + "x" + std::to_string(winners);
    printf("uart lock  %-12s %3d rounds, rounds x winners:%s; %d wrong\n", s.name, run,
           figure.c_str(), wrong);
    ::testing::Test::RecordProperty(s.name, figure);
    EXPECT_EQ(wrong, 0) << s.name << ", first " << first;
}

// Every round, each taker setting its own field of the request record: every call answers
// 1, every field holds its setter's value, never two callers inside at once, and no lock
// file left (but an emptied one of another user, which cannot be removed). Prints the most
// callers inside at once and the fields lost.
void RunIfaceRounds(const StartState &s)
{
    Callers callers;
    StartCallers(s, callers);
    int run = 0, wrong = 0, lost = 0, most = 0;
    std::string first;
    std::vector<Report> got;
    const double t0 = qmtest::NowSeconds();
    for (bool inStep = true; inStep && run < s.rounds; ++run) {
        unlink(kIfaceLock);
        WriteFile(kRecord, std::string(10, '\0'));
        chmod(kRecord, 0666);
        s.prepare();
        inside->now = inside->most = 0;
        const uint8_t value = uint8_t(1 + run % 200);
        inStep = RunRound(s, callers, value, got);
        int failed = 0, lostNow = 0;
        for (const Report &r : got)
            failed += r.got != 1;
        const std::string record = ReadFile(kRecord);
        for (int field = 0; field < 8; ++field)
            lostNow += FieldValue(record, field) != value + unsigned(field);
        lost += lostNow;
        most = std::max(most, inside->most.load());
        bool left = false;
        const std::string lock = ReadFile(kIfaceLock, &left);
        std::vector<std::string> files = {"ves_iface"};
        if (left)
            files.push_back("ves_iface.lok");
        bool ok = inStep && !failed && !lostNow && inside->most == 1 &&
                  (!left || (s.uid && lock.empty())) && ShmEntries() == files;
        if (!ok && wrong++ == 0)
            first = "round " + std::to_string(run + 1) + ": " + std::to_string(failed) +
                    " calls failed, " + std::to_string(lostNow) + " fields lost, " +
                    std::to_string(inside->most) + " inside at once, lock " +
                    (left ? "'" + lock + "'" : "gone") + (inStep ? "" : ", the callers out of step");
    }
    printf("iface lock %-12s %3d rounds, most inside at once %d, fields lost %d of %d; %d wrong"
           " (%.1f s)\n", s.name, run, most, lost, 8 * run, wrong, qmtest::NowSeconds() - t0);
    ::testing::Test::RecordProperty(s.name, "most inside " + std::to_string(most) +
                                                ", fields lost " + std::to_string(lost));
    EXPECT_EQ(wrong, 0) << s.name << ", first " << first;
}

const std::string &Dead()
{
    static const std::string dead = DeadPid();  // pids are not reused this soon
    return dead;
}

void StaleLock() { WriteFile(kLock, Dead()); }

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
    if (std::string why = qmtest::OtherUsersHere(kLock); !why.empty())
        GTEST_SKIP() << why;
    RunRounds({"other user",
               [] { StaleLock(), chown(kLock, kFileOwner, kFileOwner), chmod(kLock, 0666); }, 1,
               kTakerUser});
}

// The I/O interface lock /dev/shm/ves_iface.lok: the callers go in one at a time, every
// round; a lock file that stays (stale, empty, unreadable) is taken over once, after the
// 2 s wait, and the others then wait for the new holder. Each call is held 1 ms at its
// write, the live holder 600 ms. A caller that finds the lock taken sleeps 500 ms, so a
// round costs seconds.
TEST_F(IoIfaceLock, SimultaneousCallersFromEveryStartState)
{
    const auto state = [](const char *name, std::function<void()> prepare, int rounds) {
        return StartState{.name = name, .prepare = prepare, .winners = 1, .rounds = rounds,
                          .lock = &kIface, .holdUs = 1000};
    };
    StartState states[] = {
        state("no file", [] {}, 3),
        state("stale", [] { WriteFile(kIfaceLock, Dead()); }, 3),
        state("empty", [] { WriteFile(kIfaceLock, ""); }, 1),
        state("unreadable", [] { WriteFile(kIfaceLock, "1"), chmod(kIfaceLock, 0200); }, 1),
        state("live holder", [] {}, 2),
    };
    states[3].dropCaps = true;
    states[4].leader = 1;
    for (const StartState &s : states)
        RunIfaceRounds(s);
}

// A stale lock file of another user, mode 0666, in the sticky /dev/shm: the callers cannot
// remove it but may write it.
TEST_F(IoIfaceLock, SimultaneousCallersAtStaleLockOfAnotherUser)
{
    WriteFile(kIfaceLock, "");
    if (std::string why = qmtest::OtherUsersHere(kIfaceLock); !why.empty())
        GTEST_SKIP() << why;
    RunIfaceRounds({.name = "other user",
                    .prepare = [] {
                        WriteFile(kIfaceLock, Dead()), chown(kIfaceLock, kFileOwner, kFileOwner),
                            chmod(kIfaceLock, 0666);
                    },
                    .winners = 1, .uid = kTakerUser, .rounds = 3, .lock = &kIface, .holdUs = 1000});
}

// A holder slower than the bound: its lock is taken over after the 2 s wait, and its own
// release then leaves the new holder's lock alone. (The new holder read the record before
// the slow one wrote it: past the bound the lock promises no more.)
TEST_F(IoIfaceLock, SlowHoldersReleaseLeavesTheLockTakenOver)
{
    WriteFile(kRecord, std::string(10, '\0'));
    int reached[2];
    ASSERT_EQ(pipe(reached), 0);
    reachedFd = reached[1];
    qmtest::HookedName = kRecord;
    const auto caller = [](int field, int holdMs) {
        pid_t pid = fork();
        if (pid == 0) {
            holdUs = holdMs * 1000;
            qmtest::EntryHook = [](const char *call) {
                if (strcmp(call, "pwrite") == 0 && write(reachedFd, "!", 1) == 1)
                    usleep(holdUs);
                return 0;
            };
            _exit(SetField(0, field, 7) == 1 ? 0 : 1);
        }
        return pid;
    };
    char mark;
    pid_t slow = caller(0, 2600);
    ASSERT_TRUE(Readable(reached[0]) && read(reached[0], &mark, 1) == 1);
    pid_t next = caller(1, 2000);
    ASSERT_TRUE(Readable(reached[0]) && read(reached[0], &mark, 1) == 1);  // after the bound
    int status = -1;
    waitpid(slow, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(kIfaceLock), std::to_string(next));
    waitpid(next, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(FieldValue(ReadFile(kRecord), 1), 7u);
    EXPECT_FALSE(Exists(kIfaceLock));
    qmtest::HookedName = nullptr;
    close(reached[0]), close(reached[1]);
}

// A taker killed just before its lock gets the lock name leaves no file of it behind.
TEST_F(UartLock, KilledTakerLeavesNoFile)
{
    auto child = qmtest::InChild([] {
        qmtest::HookedName = kLock;
        qmtest::EntryHook = [](const char *call) {
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
    qmtest::HookedName = kLock;
    for (auto refuse : {+[](const char *call) { return strcmp(call, "linkat") ? 0 : EPERM; },
                        +[](const char *call) { return strcmp(call, "unlink") ? EPERM : 0; }}) {
        qmtest::EntryHook = refuse;
        EXPECT_EQ(MakeLockUart(1), 1);
        EXPECT_EQ(ReadFile(kLock), Own());
        EXPECT_EQ(ShmEntries(), std::vector<std::string>{"uart_lck"});
        EXPECT_EQ(MakeLockUart(0), 1);
    }
    qmtest::EntryHook = nullptr;
}
