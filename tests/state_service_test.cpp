// Service requests (request line, password tool output, bounded waits, appends from
// several processes, the request lock marker), watchdog commands to /proc/quorwd (played
// by a FIFO in a child with its own /proc), and the mode flags of /etc/quor/quormode.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

const char kRequest[] = "/etc/quor/service_request";
const char kRequestLock[] = "/etc/quor/service_request.lok";
const char kTool[] = "/usr/bin/qmpasswd";
const char kToolOutput[] = "/tmp/state-qmpasswd.out";

// Removes path after the given delay, from a child process; returns its pid.
pid_t RemoveLater(const char *path, double seconds)
{
    pid_t pid = fork();
    if (pid == 0) {
        usleep(useconds_t(seconds * 1e6));
        unlink(path);
        _exit(0);
    }
    return pid;
}

// Captures what the calling process writes on its standard error while fn runs.
template <class Fn> std::string StderrOf(Fn fn)
{
    fflush(stderr);
    int saved = dup(2);
    int fd = open("/tmp/state-stderr", O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return qmtest::ReadFile("/tmp/state-stderr");
}

class ServiceRequest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        unlink(kRequest);
        unlink(kToolOutput);
        setenv("QMPASSWD_FILE", kToolOutput, 1);
    }
};

} // namespace

TEST_F(ServiceRequest, LineCarriesCodeNumberToolOutputAndText)
{
    EXPECT_EQ(MakeOsServiceRequest('X', "abc", 0, 5), 1);
    EXPECT_EQ(qmtest::ReadFile(kRequest), "X005PW1234-abc\n");
    EXPECT_EQ(MakeOsServiceRequest('R', "reboot now", 0, -5), 1);
    EXPECT_EQ(MakeOsServiceRequest('Q', "", 0, 127), 1);
    EXPECT_EQ(MakeOsServiceRequest('m', "a-b|c", 0, -128), 1);
    EXPECT_EQ(qmtest::ReadFile(kRequest), "X005PW1234-abc\n"
                                          "R-05PW1234-reboot now\n"
                                          "Q127PW1234-\n"
                                          "m-128PW1234-a-b|c\n");
}

TEST_F(ServiceRequest, ToolOutputIsCutAndTrimmed)
{
    const std::pair<std::string, std::string> cases[] = {
        {"AB\r\n\r\n", "AB"},
        {"A\nB\n", "A\nB"},                                // an inner line break stays
        {"0123456789abcdefghijKLMNOPQRST\n", "0123456789abcdefghij"},  // first 20 bytes
        {"0123456789abcdefghi\n", "0123456789abcdefghi"},
        {"\n", ""},
        {"", ""},
    };
    for (auto &[printed, kept] : cases) {
        qmtest::WriteFile(kToolOutput, printed);
        unlink(kRequest);
        EXPECT_EQ(MakeOsServiceRequest('P', "t", 0, 1), 1);
        EXPECT_EQ(qmtest::ReadFile(kRequest), "P001" + kept + "-t\n") << printed;
    }
}

TEST_F(ServiceRequest, MissingToolFilesNothingAndPrintsNothing)
{
    ASSERT_EQ(rename(kTool, "/usr/bin/qmpasswd.away"), 0);
    int r0 = -1, r2 = -1;
    double waited = 0;
    std::string err = StderrOf([&] {
        r0 = MakeOsServiceRequest('X', "abc", 0, 5);
        qmtest::WriteFile(kRequest, "Y001PW-old\n");  // an earlier request still pending
        double t0 = qmtest::NowSeconds();
        r2 = MakeOsServiceRequest('X', "abc", 1, 5);
        waited = qmtest::NowSeconds() - t0;
    });
    ASSERT_EQ(rename("/usr/bin/qmpasswd.away", kTool), 0);
    EXPECT_EQ(r0, 0);
    EXPECT_EQ(r2, 2);
    EXPECT_GE(waited, 0.8);
    EXPECT_LE(waited, 3.0);
    EXPECT_EQ(qmtest::ReadFile(kRequest), "Y001PW-old\n");
    EXPECT_EQ(err, "");
}

TEST_F(ServiceRequest, WaitEndsWhenTheServiceTakesTheRequest)
{
    // Nobody takes it: three sleeps, four tests, result 3.
    double t0 = qmtest::NowSeconds();
    EXPECT_EQ(MakeOsServiceRequest('X', "abc", 3, 5), 3);
    double waited = qmtest::NowSeconds() - t0;
    EXPECT_GE(waited, 2.7);
    EXPECT_LE(waited, 5.5);

    // Taken after half a second: seen at the next test, about 1 s in.
    unlink(kRequest);
    pid_t pid = RemoveLater(kRequest, 0.5);
    t0 = qmtest::NowSeconds();
    EXPECT_EQ(MakeOsServiceRequest('X', "abc", 3, 5), 1);
    waited = qmtest::NowSeconds() - t0;
    EXPECT_GE(waited, 0.5);
    EXPECT_LE(waited, 2.5);
    waitpid(pid, nullptr, 0);

    // A negative wait tests once, without sleeping.
    t0 = qmtest::NowSeconds();
    EXPECT_EQ(MakeOsServiceRequest('X', "abc", -1, 5), 3);
    EXPECT_LT(qmtest::NowSeconds() - t0, 0.9);
}

TEST_F(ServiceRequest, PendingAnswersAtOnceOrWithinTheWait)
{
    EXPECT_EQ(OsServicePending(0), 0);
    EXPECT_EQ(OsServicePending(5), 0);  // no file: no sleep at all
    qmtest::WriteFile(kRequest, "X005PW-a\n");
    double t0 = qmtest::NowSeconds();
    EXPECT_EQ(OsServicePending(0), 1);
    EXPECT_LT(qmtest::NowSeconds() - t0, 0.9);

    pid_t pid = RemoveLater(kRequest, 0.5);
    t0 = qmtest::NowSeconds();
    EXPECT_EQ(OsServicePending(4), 0);
    double waited = qmtest::NowSeconds() - t0;
    EXPECT_GE(waited, 0.5);
    EXPECT_LE(waited, 2.5);
    waitpid(pid, nullptr, 0);

    qmtest::WriteFile(kRequest, "X005PW-a\n");
    t0 = qmtest::NowSeconds();
    EXPECT_EQ(OsServicePending(1), 1);
    waited = qmtest::NowSeconds() - t0;
    EXPECT_GE(waited, 0.8);
    EXPECT_LE(waited, 3.0);
}

// Requests appended by several processes at once stay whole lines, also when a line is
// longer than a stream buffer.
TEST_F(ServiceRequest, ConcurrentAppendsKeepLinesWhole)
{
    const int kProcs = 3, kEach = 8;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string text(6000, char('a' + p));
            for (int i = 0; i < kEach; ++i)
                if (MakeOsServiceRequest(char('A' + p), text.c_str(), 0, int8_t(i)) != 1)
                    _exit(1);
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    std::string all = qmtest::ReadFile(kRequest);
    std::vector<int> seen(kProcs * kEach, 0);
    size_t pos = 0, lines = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = all.substr(pos, nl - pos);
        pos = nl + 1;
        ++lines;
        ASSERT_GE(line.size(), 4u);
        int p = line[0] - 'A';
        int i = atoi(line.substr(1, 3).c_str());
        ASSERT_TRUE(p >= 0 && p < kProcs && i >= 0 && i < kEach) << line.substr(0, 20);
        std::string want(1, char('A' + p));
        want.append("00").append(std::to_string(i)).append("PW1234-");
        want.append(6000, char('a' + p));
        EXPECT_EQ(line, want);
        ++seen[size_t(p * kEach + i)];
    }
    EXPECT_EQ(lines, size_t(kProcs * kEach));
    EXPECT_EQ(seen, std::vector<int>(size_t(kProcs * kEach), 1));
}

TEST_F(ServiceRequest, RequestLockMarker)
{
    unlink(kRequestLock);
    EXPECT_EQ(MakeServiceRequestLock(0), -1);
    EXPECT_EQ(MakeServiceRequestLock(1), 0);
    EXPECT_EQ(qmtest::ReadFile(kRequestLock), std::to_string(getpid()));
    qmtest::WriteFile(kRequestLock, "123456789");  // another holder's: overwritten, no wait
    EXPECT_EQ(MakeServiceRequestLock(1), 0);
    EXPECT_EQ(qmtest::ReadFile(kRequestLock), std::to_string(getpid()));
    // The request functions ignore the marker.
    EXPECT_EQ(MakeOsServiceRequest('X', "abc", 0, 5), 1);
    EXPECT_EQ(MakeServiceRequestLock(0), 0);
    EXPECT_FALSE(qmtest::Exists(kRequestLock));
    EXPECT_EQ(MakeServiceRequestLock(0), -1);
    // A marker that cannot be created is not set, and says so.
    ASSERT_EQ(mkdir(kRequestLock, 0755), 0);
    EXPECT_EQ(MakeServiceRequestLock(1), -1);
    EXPECT_EQ(rmdir(kRequestLock), 0);
}

// ---- Watchdog -------------------------------------------------------------------------

namespace {

struct WdCall {
    int appId;
    int command;
};

struct WdSeen {
    int result;
    int length;
    char bytes[8];
};

constexpr int kChildSkip = 77;

// In a child with its own mount namespace and a tmpfs over /proc: /proc/quorwd is a FIFO
// whose reader takes, after each call, exactly the bytes that call wrote.
int WatchdogChild(const std::vector<WdCall> &calls, int out)
{
    if (unshare(CLONE_NEWNS) != 0)
        return kChildSkip;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("qmproc", "/proc", "tmpfs", 0, "mode=755") != 0)
        return kChildSkip;
    std::vector<WdSeen> seen;
    // No control file: nothing to write to, and none is created.
    seen.push_back({RegisterAppWdreset(1, 1), access("/proc/quorwd", F_OK) == 0 ? 1 : 0, {}});
    if (mkfifo("/proc/quorwd", 0600) != 0)
        return 2;
    int reader = open("/proc/quorwd", O_RDONLY | O_NONBLOCK);
    if (reader < 0)
        return 3;
    for (const WdCall &c : calls) {
        WdSeen s{};
        s.result = RegisterAppWdreset(uint8_t(c.appId), int8_t(c.command));
        ssize_t n = read(reader, s.bytes, sizeof s.bytes);
        s.length = n > 0 ? int(n) : 0;
        seen.push_back(s);
    }
    close(reader);
    // Writable but not openable for writing: a directory in its place.
    unlink("/proc/quorwd");
    mkdir("/proc/quorwd", 0755);
    seen.push_back({RegisterAppWdreset(4, 1), 0, {}});
    ssize_t size = ssize_t(seen.size() * sizeof(WdSeen));
    return write(out, seen.data(), size_t(size)) == size ? 0 : 4;
}

} // namespace

TEST(Watchdog, CommandsAreSingleShortWrites)
{
    QM_REQUIRE_SANDBOX();
    const std::vector<WdCall> calls = {
        {19, 1}, {0, 0}, {7, 1}, {20, 1}, {5, -1}, {19, -2}, {3, 2}, {256, 1}, {255, 0}, {12, -1},
    };
    const std::vector<std::pair<int, std::string>> want = {
        {0, "r19"}, {0, "a0"}, {0, "r7"}, {0, ""}, {0, "w0"}, {0, "w1"}, {0, ""}, {0, "r0"},
        {0, ""}, {0, "w0"},
    };
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        _exit(WatchdogChild(calls, fds[1]));
    }
    close(fds[1]);
    std::vector<WdSeen> seen(calls.size() + 2);
    size_t want_bytes = seen.size() * sizeof(WdSeen), got = 0;
    while (got < want_bytes) {
        ssize_t n = read(fds[0], reinterpret_cast<char *>(seen.data()) + got, want_bytes - got);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kChildSkip)
        GTEST_SKIP() << "no private /proc can be mounted here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(got, want_bytes);

    EXPECT_EQ(seen[0].result, 0);  // control file missing
    EXPECT_EQ(seen[0].length, 0);  // and not created
    for (size_t i = 0; i < calls.size(); ++i) {
        const WdSeen &s = seen[i + 1];
        EXPECT_EQ(s.result, want[i].first) << "call " << i;
        EXPECT_EQ(std::string(s.bytes, size_t(s.length)), want[i].second) << "call " << i;
    }
    EXPECT_EQ(seen.back().result, 1);  // passes the test, cannot be opened
}

// ---- Mode flags -----------------------------------------------------------------------

TEST(ModeFlags, FirstLineGivesModelAndDewValue)
{
    QM_REQUIRE_SANDBOX();
    const char *path = "/etc/quor/quormode";
    struct Case {
        std::string content;
        int pro, dew;
    } cases[] = {
        {"1|0|\n", 1, 0},
        {"0|1|\n", 0, 1},
        {"1|12\n", 1, 0},                    // one bar only
        {"1|12", 1, 0},
        {"0| -42x|9|\n", 0, -42},
        {"0|12345678901234567|\n", 0, 0},    // second bar is the 20th character
        {"0|1234567890123456|\n", 0, INT32_MAX},  // 19th: read, and clamped
        {"0|-1234567890123456|\n", 0, 0},    // 20th again
        {"1||\n", 1, 0},
        {"\n1|5|\n", 0, 0},                  // only the first line counts
        {"", 0, 0},
        {"2|7|", 0, 7},
    };
    for (auto &c : cases) {
        qmtest::WriteFile(path, c.content);
        EXPECT_EQ(IsQuorPro(), c.pro) << c.content;
        EXPECT_EQ(IsDewFsmActive(), c.dew) << c.content;
    }
    unlink(path);
    EXPECT_EQ(IsQuorPro(), 0);
    EXPECT_EQ(IsDewFsmActive(), 0);
}
