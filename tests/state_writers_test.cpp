// Writers and readers of the runtime slots and the configuration store against each other:
// slot readers during writers in another process, in another thread and during table
// resets (torn and failed reads); two store writers of different keys (entries lost);
// writers killed at random moments (torn slots, short tables, files left behind). Every
// case prints its figures.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

constexpr off_t kTable = 255 * 904;
const char kTablePath[] = "/dev/shm/sh_40.share";
const std::string kOther(60, 'v');

bool Slow() { return !qmtest::Emulator().empty(); }

// A slot of one value throughout: a read that mixes two writes holds two values.
struct Slot {
    uint8_t b[904];
};
Slot Filled(unsigned v)
{
    Slot s;
    memset(s.b, int(v % 255 + 1), sizeof s.b);
    return s;
}
bool Whole(const Slot &s) { return std::count(s.b, s.b + 904, s.b[0]) == 904; }

off_t TableSize()
{
    struct stat st;
    return stat(kTablePath, &st) == 0 ? st.st_size : -1;
}

// Runs body in a child process; returns once the child runs.
pid_t Spawn(const std::function<void()> &body)
{
    int ready[2];
    char c = 0;
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        (void)!write(ready[1], &c, 1);
        body();
        _exit(0);
    }
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    close(ready[1]);
    return pid;
}

std::string Entry(const char *key)
{
    char out[150] = {};
    GetVesconfEntry(key, out);
    return out;
}

// A store of 21 entries, "OTHER" among them.
void FillStore()
{
    unlink("/tmp/.vesconf_file");
    for (int i = 0; i < 21; ++i)
        SetVesconfEntry(i ? ("MORE" + std::to_string(i)).c_str() : "OTHER", kOther.c_str());
}

// Files of the writers besides the table and the store: copies of the store in /tmp,
// anything else in /dev/shm.
size_t LeftBehind()
{
    auto names = qmtest::DirEntries("/tmp");
    return qmtest::DirEntries("/dev/shm").size() - (TableSize() != -1) +
           std::count_if(names.begin(), names.end(),
                         [](const std::string &n) { return n.rfind(".vesconf_file_tmp", 0) == 0; });
}

// One writer in a loop until it is killed: 0 slot 4, 1 table resets (of a new and of an
// existing table), 2 the store.
[[noreturn]] void WriteForEver(int writer)
{
    for (unsigned v = 0;; ++v) {
        Slot s = Filled(v);
        if (writer == 0) {
            SetShRuntime(40, 4, s.b);
        } else if (writer == 1) {
            InitShareRuntime(40);
            SetShRuntime(40, 254, s.b);
            InitShareRuntime(40);
            UnInitShareRuntime(40);
        } else {
            SetVesconfEntry("K", std::to_string(v).c_str());
        }
    }
}

} // namespace

TEST(Writers, SlotReadersSeeWholeWrites)
{
    QM_REQUIRE_SANDBOX();
    enum Kind { Process, Thread, Reset };
    const struct {
        const char *name;
        uint8_t slot;
        Kind kind;
    } rows[] = {{"slot 3, writer process", 3, Process},
                {"slot 4, writer process", 4, Process},
                {"slot 4, writer thread", 4, Thread},
                {"slot 254, table resets", 254, Reset}};
    const int reads = Slow() ? 10000 : 30000;
    for (const auto &row : rows) {
        ASSERT_EQ(InitShareRuntime(40), 0);
        double start = qmtest::NowSeconds();
        std::atomic<bool> stop{false};
        auto writes = [&] {
            for (unsigned v = 0; !stop; ++v) {
                if (row.kind == Reset)
                    InitShareRuntime(40);
                Slot s = Filled(v);
                SetShRuntime(40, row.slot, s.b);
            }
        };
        std::thread thread;
        pid_t pid = -1;
        if (row.kind == Thread)
            thread = std::thread(writes);
        else
            pid = Spawn(writes);
        int torn = 0, failed = 0;
        for (int i = 0; i < reads; ++i) {
            Slot got;
            bool read = GetShRuntime(40, row.slot, got.b) == 1;
            failed += !read;
            torn += read && !Whole(got);
        }
        stop = true;
        row.kind == Thread ? thread.join() : qmtest::KillChild(pid);
        printf("%-24s %d reads: %d torn, %d failed (%.1f s)\n", row.name, reads, torn, failed,
               qmtest::NowSeconds() - start);
        EXPECT_EQ(torn + failed, 0) << row.name;
        UnInitShareRuntime(40);
    }
}

// Each round both writers are let go at once, each with its own key.
TEST(Writers, TwoStoreWritersLoseNoEntry)
{
    QM_REQUIRE_SANDBOX();
    FillStore();
    const int rounds = Slow() ? 300 : 1000;
    const char *keys[2] = {"A", "B"};
    int go[2][2], done[2];
    pid_t pids[2];
    ASSERT_EQ(pipe(done), 0);
    for (int w = 0; w < 2; ++w) {
        ASSERT_EQ(pipe(go[w]), 0);
        pids[w] = Spawn([&] {
            for (int round; read(go[w][0], &round, sizeof round) == sizeof round;) {
                SetVesconfEntry(keys[w], std::to_string(round).c_str());
                (void)!write(done[1], "d", 1);
            }
        });
    }
    int lost = 0;
    for (int round = 1; round <= rounds; ++round) {
        for (auto &pipe : go)
            ASSERT_EQ(write(pipe[1], &round, sizeof round), ssize_t(sizeof round));
        char c[2];
        for (int got = 0; got < 2;)
            got += std::max<ssize_t>(read(done[0], c, 2 - got), 0);
        for (const char *key : keys)
            lost += Entry(key) != std::to_string(round);
    }
    for (pid_t pid : pids)
        qmtest::KillChild(pid);
    printf("two store writers of different keys: %d entries lost in %d rounds\n", lost, rounds);
    EXPECT_EQ(lost, 0);
}

// A killed slot writer may leave its slot torn (counted, allowed); a killed reset never
// leaves a table of the wrong size, a killed store writer never a store without its other
// entries, and no writer a file that the next store write does not remove.
TEST(Writers, KilledWritersLeaveWholeFiles)
{
    QM_REQUIRE_SANDBOX();
    FillStore();
    const int kills = Slow() ? 100 : 200;
    const unsigned maxDelayUs = Slow() ? 5000 : 1500;
    std::minstd_rand random{unsigned(getpid())};
    const char *names[] = {"SetShRuntime slot 4", "InitShareRuntime", "SetVesconfEntry"};
    ASSERT_EQ(InitShareRuntime(40), 0);
    for (int writer = 0; writer < 3; ++writer) {
        double start = qmtest::NowSeconds();
        int torn = 0, broken = 0;
        for (int k = 0; k < kills; ++k) {
            pid_t pid = Spawn([writer] { WriteForEver(writer); });
            usleep(useconds_t(random() % maxDelayUs));
            qmtest::KillChild(pid);
            Slot got;
            torn += writer == 0 && GetShRuntime(40, 4, got.b) == 1 && !Whole(got);
            broken += (TableSize() != -1 && TableSize() != kTable) || Entry("OTHER") != kOther;
        }
        size_t left = LeftBehind();
        SetVesconfEntry("K", "next");
        size_t after = LeftBehind();
        printf("%-20s %d kills: %d torn slots, %d short tables or broken stores, %zu files left, "
               "%zu after the next write (%.1f s)\n",
               names[writer], kills, torn, broken, left, after, qmtest::NowSeconds() - start);
        EXPECT_EQ(broken, 0) << names[writer];
        EXPECT_EQ(after, 0u) << names[writer];
        UnInitShareRuntime(40);
    }
}
