// The UART lock and the hand-over of the port during a long scan, end to end: the command
// gives the port up for five seconds after ten seconds of use, retries a lock that another
// live process holds, never repeats or skips an address across a hand-over, and gets past
// what a run killed in the middle of its scan has left.
#include <atomic>
#include <csignal>
#include <map>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "discoverybench.h"
#include "uartemu_trace.h"

using namespace disc;

namespace {

const char kLock[] = "/dev/shm/uart_lck";

std::string ShortLines(int first, int last, int identified)
{
    std::string out;
    for (int a = first; a <= last; ++a) {
        char line[32];
        snprintf(line, sizeof line, "00000000001,%03d", a);
        out += a == identified ? ReferenceLine(1, a) + "\n" : std::string(line) + "\n";
    }
    return out;
}

// Requests per address in the simulator's log.
std::map<int, int> RequestsPerAddress(const std::string &log)
{
    std::map<int, int> count;
    std::istringstream in(log);
    std::string t, dir, first;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        fields >> t >> dir >> first;
        if (dir == "rx")
            ++count[std::stoi(first, nullptr, 16)];
    }
    return count;
}

// Read requests per address as the master wrote them (its port's emulation trace). A
// simulator starved on a loaded machine may read two requests as one bad frame; what the
// command asked is in its own writes.
std::map<int, int> RequestsWritten(const std::string &trace)
{
    std::map<int, int> count;
    for (const auto &rec : uartemu::Select(uartemu::ReadTrace(trace), "")) {
        if (rec.event != "write")
            continue;
        auto bytes = rec.Bytes();
        if (bytes.size() == 8 && bytes[1] == 0x03)
            ++count[bytes[0]];
    }
    return count;
}

// The times (us) of the port trace's records of that event.
std::vector<int64_t> EventTimes(const std::string &trace, const std::string &event)
{
    std::vector<int64_t> times;
    for (auto &rec : uartemu::Select(uartemu::ReadTrace(trace), event))
        times.push_back(rec.t);
    return times;
}

// A live process that is not us, to hold the lock.
pid_t StartHolder() { return qmtest::Spawn({"sleep", "300"}, false); }

// Watches the lock file: the longest time it was absent while the command ran.
struct LockWatch {
    std::atomic<bool> stop{false};
    double longestAbsence = 0;
    std::thread thread;
    void Start()
    {
        thread = std::thread([this] {
            double absentSince = -1;
            while (!stop) {
                double now = qmtest::NowSeconds();
                bool present = qmtest::Exists(kLock);
                if (!present && absentSince < 0)
                    absentSince = now;
                if (present && absentSince >= 0) {
                    longestAbsence = std::max(longestAbsence, now - absentSince);
                    absentSince = -1;
                }
                usleep(5000);
            }
        });
    }
    void Stop()
    {
        stop = true;
        thread.join();
    }
};

class LockAndHandOver : public testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        sim = StartSim("line 9600 8N1\ndevice 40\n" + std::string(kReferenceDevice));
    }
    void TearDown() override
    {
        StopSim(sim);
        unlink(kLock);
        unlink("/etc/quor/db/sysconfig/quorLan.db");
    }
    Sim sim;
};

} // namespace

TEST_F(LockAndHandOver, PortHandedOverAfterTenSeconds)
{
    const int last = 95;  // about 15 s of silent addresses at a 100 ms time-out
    LockWatch watch;
    watch.Start();
    std::string trace = "/tmp/handover.trace";
    Started run = StartQmveskar({"1", "1", std::to_string(last)}, trace);
    auto r = Wait(run, 300);
    watch.Stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ShortLines(1, last, 40));
    EXPECT_EQ(r.err, "");

    // Every address asked exactly as often as its answers require: never repeated, never
    // skipped (the identified one three times, the silent ones once).
    auto requests = RequestsWritten(trace);
    for (int a = 1; a <= last; ++a)
        EXPECT_EQ(requests[a], a == 40 ? 3 : 1) << "address " << a;

    // The port: open, closed for at least 5 s, open again; the lock away that long too.
    auto opens = EventTimes(trace, "open"), closes = EventTimes(trace, "close");
    ASSERT_GE(opens.size(), 2u);
    ASSERT_GE(closes.size(), 2u);
    EXPECT_GE(opens[1] - closes[0], 5000000);
    EXPECT_LE(opens[1] - closes[0], 9000000);
    EXPECT_GE(closes[0] - opens[0], 10000000);  // more than ten seconds of use first
    EXPECT_GE(watch.longestAbsence, 4.9);
    EXPECT_FALSE(qmtest::Exists(kLock));
}

TEST_F(LockAndHandOver, LockGrabbedDuringHandOverDoesNotStopTheScan)
{
    const int last = 75;
    pid_t holder = -1;
    std::atomic<bool> stop{false};
    std::thread grabber([&] {
        // Wait until the command holds the lock, then until it lets it go (the hand-over).
        while (!stop && !qmtest::Exists(kLock))
            usleep(2000);
        while (!stop && qmtest::Exists(kLock))
            usleep(2000);
        if (stop)
            return;
        holder = StartHolder();
        qmtest::WriteFile(kLock, std::to_string(holder));
    });
    double start = qmtest::NowSeconds();
    auto r = RunQmveskarOnBench({"1", "1", std::to_string(last)}, "", "", {}, 300);
    double took = qmtest::NowSeconds() - start;
    stop = true;
    grabber.join();
    ASSERT_GT(holder, 0) << "no hand-over happened";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ShortLines(1, last, 40));
    EXPECT_GE(took, 10 + 5 + 19);  // 21 attempts 1 s apart, then the scan went on
    // The other holder's lock is left alone at the end.
    EXPECT_EQ(qmtest::ReadFile(kLock), std::to_string(holder));
    EXPECT_FALSE(qmtest::Exists("/dev/shm/discovery_perc"));
    qmtest::KillChild(holder);
}

TEST_F(LockAndHandOver, LiveHolderAtStartMakesTheCommandGiveUp)
{
    pid_t holder = StartHolder();
    qmtest::WriteFile(kLock, std::to_string(holder));
    double start = qmtest::NowSeconds();
    auto r = RunQmveskarOnBench({"1", "40", "40"}, "", "", {}, 120);
    double took = qmtest::NowSeconds() - start;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_GE(took, 19.5);  // 21 attempts with 20 sleeps of a second between them
    EXPECT_LT(took, 40);
    EXPECT_FALSE(qmtest::Exists("/dev/shm/discovery_perc"));
    EXPECT_EQ(qmtest::ReadFile(kLock), std::to_string(holder));
    EXPECT_TRUE(RequestsPerAddress(qmtest::ReadFile(sim.log)).empty());
    qmtest::KillChild(holder);
}

TEST_F(LockAndHandOver, SlowLockAtStartMakesTheFirstSlotHandOver)
{
    // The holder ends after 11.5 s: its lock is stale at the next attempt, more than ten
    // seconds after the grant time was set, so the first slot begins with a hand-over.
    pid_t holder = StartHolder();
    qmtest::WriteFile(kLock, std::to_string(holder));
    std::thread ender([holder] {
        usleep(11500000);
        qmtest::KillChild(holder);
    });
    std::string trace = "/tmp/slowstart.trace";
    auto r = RunQmveskarOnBench({"1", "40", "40"}, trace, "", {}, 120);
    ender.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ReferenceLine(1, 40) + "\n");
    auto seq = uartemu::Sequence(uartemu::ReadTrace(trace), {"open", "close", "write"});
    ASSERT_GE(seq.size(), 4u);
    EXPECT_EQ(uartemu::Join({seq.begin(), seq.begin() + 4}), "open close open write");
}

// The wall clock set back an hour two seconds into the scan (a unit whose clock is set at
// boot or by NTP): the hand-over still comes after ten seconds of use, and every silent
// address still ends after its time-out, not after the hour.
TEST_F(LockAndHandOver, WallClockSteppedBackDuringTheScan)
{
    const int last = 100;
    std::string trace = "/tmp/clockstep.trace", log = "/tmp/clockstep.log";
    auto r = RunQmveskarOnBench({"1", "1", std::to_string(last)}, trace, "",
                                {"LD_PRELOAD=" + qmtest::BinDir() + "/libclockstep.so",
                                 "CLOCKSTEP_AFTER_MS=2000", "CLOCKSTEP_BY_S=-3600",
                                 "CLOCKSTEP_LOG=" + log},
                                120);
    EXPECT_EQ(qmtest::ReadFile(log).rfind("loaded ", 0), 0u) << "the clock step was not loaded";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ShortLines(1, last, 40));

    auto opens = EventTimes(trace, "open"), closes = EventTimes(trace, "close");
    auto writes = EventTimes(trace, "write");
    ASSERT_GE(opens.size(), 2u);
    ASSERT_GE(closes.size(), 2u);
    EXPECT_GE(closes[0] - opens[0], 10000000);
    EXPECT_LE(closes[0] - opens[0], 13000000);
    EXPECT_GE(opens[1] - closes[0], 5000000);
    // RxTimeout 100 ms + 50 ms per silent address; a second is generous.
    for (size_t i = 1; i < writes.size(); ++i) {
        if (writes[i - 1] > opens[1] || writes[i] < closes[0]) {
            EXPECT_LT(writes[i] - writes[i - 1], 1000000) << "request " << i;
        }
    }
}

// Runs killed (SIGKILL) at random moments of their scans leave at most their progress file
// and a stale lock in /dev/shm; the next run gets past both and reports as usual.
TEST_F(LockAndHandOver, RunsKilledDuringTheScan)
{
    const std::vector<std::string> args{"1", "39", "41"};
    const std::string report = ShortLines(39, 41, 40);
    double start = qmtest::NowSeconds();
    auto r = RunQmveskarOnBench(args);
    double scan = qmtest::NowSeconds() - start;
    ASSERT_EQ(r.out, report);
    std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> moment(0, int(scan * 1e6));
    std::map<std::string, int> left;  // what the killed runs left, by name
    for (int batch = 0; batch < 4; ++batch) {
        for (int i = 0; i < 10; ++i) {
            Started run = StartQmveskar(args);
            usleep(useconds_t(moment(random)));
            kill(run.pid, SIGKILL);
            Wait(run, 30);
            for (const std::string &name : qmtest::DirEntries("/dev/shm")) {
                EXPECT_TRUE(name == "discovery_perc" || name == "uart_lck") << name;
                ++left[name];
            }
        }
        r = RunQmveskarOnBench(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, report);
        EXPECT_EQ(qmtest::DirEntries("/dev/shm"), std::vector<std::string>{});
    }
    printf("a scan of 39..41 took %.2f s; after 40 kills within that time /dev/shm held a "
           "stale lock %d times, a progress file %d times\n",
           scan, left["uart_lck"], left["discovery_perc"]);
}
