// The library's descriptors: every call that opens files leaves nothing open that the
// caller did not open, and every descriptor it opens is close-on-exec, also those that
// live only during the call (a program that another thread starts at that moment would
// inherit them). A second thread samples /proc/self/fd while the calls run.
#include <atomic>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <pty.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "buskit.h"
#include "busserver.h"
#include "internal.h"
#include "msgbus_internal.h"
#include "qmveskar.h"
#include "seriallink.h"
#include "testsupport.h"

namespace {

using qmtest::OpenDescriptors;

std::string Target(int fd)
{
    char link[64], target[PATH_MAX] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    return readlink(link, target, sizeof target - 1) > 0 ? target : "(closed by now)";
}

// Samples the descriptors of the process until stopped; notes every one that is open
// without close-on-exec and was not open at the start.
struct Sampler {
    std::set<int> before = OpenDescriptors();
    std::atomic<bool> stop {false};
    std::set<std::string> inheritable;
    std::thread thread {[this] {
        while (!stop)
            for (int fd : OpenDescriptors()) {
                int flags = fcntl(fd, F_GETFD);
                if (!before.count(fd) && flags >= 0 && !(flags & FD_CLOEXEC))
                    inheritable.insert(Target(fd));
            }
    }};
    std::set<std::string> Stop()
    {
        stop = true;
        thread.join();
        return inheritable;
    }
};

struct Call {
    const char *name;
    int rounds;
    std::function<void()> run;
};

} // namespace

TEST(Descriptors, LibraryCallsLeaveNothingOpenAndNothingInheritable)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile("/etc/quor/quormode", "1 1\n");
    mkdir("/var/www/html/lang/include/main", 0755);
    mkdir("/var/www/html/lang/include/main/jscript", 0755);
    qmtest::WriteFile("/var/www/html/lang/include/main/jscript/it.js", "key = \"text\";\n");
    mkdir("/var/log/temp_isto", 0755);
    qmtest::WriteFile("/var/log/temp_isto/00000000001.tempisto", "1 2 3\n");
    qmtest::WriteFile("/var/log/temp_isto/00000000001.temphid", std::string(100, '0'));
    qmtest::WriteFile("/dev/shm/acqspeed.conf", "1\n");
    qmtest::WriteFile("/tmp/base64.in", "some bytes");
    int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int master = -1, slave = -1;
    char pts[64] = {};
    ASSERT_EQ(openpty(&master, &slave, pts, nullptr, nullptr), 0);
    LineSettings line {};
    snprintf(line.tty, sizeof line.tty, "%.27s", pts + 5);  // without "/dev/"
    uint8_t slot[904] = {1, 2, 3};
    char out[512];
    const Call calls[] = {
        {"base64", 200, [&] { base64("/tmp/base64.in", sink); }},
        {"configuration store", 100, [&] { SetVesconfEntry("k", "v"), GetVesconfEntry("k", out); }},
        {"dictionary", 200, [] { GetTextDictLang("key", "main", "ISO-8859-1", "it"); }},
        {"runtime slots", 200, [&] {
             InitShareRuntime(7), SetShRuntime(7, 3, slot), GetShRuntime(7, 3, slot);
             UnInitShareRuntime(7);
         }},
        {"I/O interface", 100, [] {
             SetIoInterfaceRequest(1, 2, 3, 4, 5, 6, 7, 8, 1);
             GetIoInterfaceRequest(nullptr, nullptr, nullptr, nullptr), GetVesIfaceSetStatus(nullptr);
         }},
        {"digital I/O port", 400, [] { SetDiStatus(3), GetDiStatus(); }},
        {"service request", 20, [] { MakeOsServiceRequest('X', "text", 0, 5), OsServicePending(0); }},
        {"service lock, watchdog, mode flags", 200, [] {
             MakeServiceRequestLock(1), MakeServiceRequestLock(0), RegisterAppWdreset(1, 1);
             IsQuorPro(), IsDewFsmActive();
         }},
        {"acquisition speed, temperature history", 200, [] {
             AcqSpeedSetup speed;
             TempFileInfo info;
             GetAcqSpeedSetup(&speed), ExitAcqSpeed(), GetTempFileInfo(1, &info);
         }},
        {"UART lock", 200, [] { MakeLockUart(1), MakeLockUart(0); }},
        {"serial line", 100, [&] {
             if (OpenLine(line)) {
                 ReopenLine();
                 CloseLine();
             }
         }},
    };
    for (const Call &call : calls) {
        Sampler sampler;
        for (int i = 0; i < call.rounds; ++i)
            call.run();
        EXPECT_EQ(sampler.Stop(), std::set<std::string>{}) << call.name << ": inheritable";
        EXPECT_EQ(OpenDescriptors(), sampler.before) << call.name << ": left open";
    }
    ASSERT_TRUE(OpenLine(line));  // the line, while it is open
    EXPECT_TRUE(fcntl(LineFd, F_GETFD) & FD_CLOEXEC);
    CloseLine();
    close(master), close(slave), close(sink);
}

// The bus connection is close-on-exec, and CloseBus leaves nothing behind.
TEST(Descriptors, BusConnection)
{
    busserver::Server *server = busserver::Start();
    ASSERT_NE(server, nullptr);
    std::set<int> before = OpenDescriptors();
    ASSERT_NE(buskit::ConnectTo(server), 0);
    EXPECT_TRUE(fcntl(BusSocket, F_GETFD) & FD_CLOEXEC);
    int socket = BusSocket;
    CloseBus();
    EXPECT_EQ(fcntl(socket, F_GETFD), -1);
    busserver::Stop(server);
    std::set<int> after = OpenDescriptors();
    for (int fd : after)
        EXPECT_TRUE(before.count(fd)) << Target(fd);
}
