// Encoders and small helpers: base64 (against coreutils), hex conversions, dotted decimal
// (against inet_addr), the log line and the signal installer.
#include <arpa/inet.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <regex>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"
#include "testsupport.h"

namespace {

std::string Encode(const std::string &bytes, int count)
{
    unsigned char in[3] = {0, 0, 0};
    memcpy(in, bytes.data(), bytes.size() < 3 ? bytes.size() : 3);
    unsigned char out[4];
    encodeblock(in, out, count);
    return std::string(reinterpret_cast<char *>(out), 4);
}

std::string ReadAll(int fd)
{
    std::string all;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        all.append(buf, static_cast<size_t>(n));
    return all;
}

using qmtest::TempDir, qmtest::TempFd;

// base64 of the file through our encoder, into a temporary descriptor.
std::string OurBase64(const std::string &path, int *result)
{
    int fd = TempFd();
    *result = base64(path.c_str(), fd);
    std::string out = ReadAll(fd);
    close(fd);
    return out;
}

// coreutils "base64 -w 76" of the file. Run directly, not under the emulator: it is a host
// program.
std::string PeerBase64(const std::string &path)
{
    int fd = TempFd();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        execl("/usr/bin/base64", "base64", "-w", "76", path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string out = ReadAll(fd);
    close(fd);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "<base64 failed>";
}

} // namespace

TEST(Encodeblock, GroupsAndPadding)
{
    EXPECT_EQ(Encode("Man", 3), "TWFu");
    EXPECT_EQ(Encode(std::string("Ma\0", 3), 2), "TWE=");
    EXPECT_EQ(Encode(std::string("M\0\0", 3), 1), "TQ==");
    EXPECT_EQ(Encode(std::string("\xff\xff\xff", 3), 3), "////");
    EXPECT_EQ(Encode(std::string("\xfb\xef\xbe", 3), 3), "++++");
    EXPECT_EQ(Encode(std::string("\0\0\0", 3), 3), "AAAA");
    EXPECT_EQ(Encode(std::string("\x00\x10\x83", 3), 3), "ABCD");
    // count 1: two alphabet characters and two "=", count 2: three and one
    std::string one = Encode(std::string("\xa7\0\0", 3), 1);
    EXPECT_EQ(one.substr(2), "==");
    EXPECT_EQ(one.find('='), 2u);
    std::string two = Encode(std::string("\xa7\x3c\0", 3), 2);
    EXPECT_EQ(two.find('='), 3u);
}

TEST(Base64, MatchesCoreutilsForEverySizeUpTo200)
{
    QM_REQUIRE_SANDBOX();
    TempDir dir;
    std::mt19937 rng(20240611);
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 200; ++n)
        sizes.push_back(n);
    for (size_t n : {56u, 57u, 58u, 113u, 114u, 115u, 171u, 1140u, 1141u, 4099u})
        sizes.push_back(n);
    for (size_t n : sizes) {
        std::string content(n, '\0');
        for (auto &c : content)
            c = static_cast<char>(rng() & 0xFF);
        std::string path = dir.File("in" + std::to_string(n), content);
        int result = -1;
        std::string ours = OurBase64(path, &result);
        EXPECT_EQ(result, 0) << n;
        ASSERT_EQ(ours, PeerBase64(path)) << "size " << n;
    }
}

TEST(Base64, LineShapes)
{
    QM_REQUIRE_SANDBOX();
    TempDir dir;
    int result = -1;
    EXPECT_EQ(OurBase64(dir.File("three", "abc"), &result), "YWJj\n");
    EXPECT_EQ(result, 0);

    std::string out57 = OurBase64(dir.File("57", std::string(57, 'x')), &result);
    EXPECT_EQ(out57.size(), 77u);
    EXPECT_EQ(out57.back(), '\n');

    std::string out58 = OurBase64(dir.File("58", std::string(58, 'x')), &result);
    ASSERT_EQ(out58.size(), 77u + 5u);
    EXPECT_EQ(out58[76], '\n');
    EXPECT_EQ(out58.substr(77), "eA==\n");

    EXPECT_EQ(OurBase64(dir.File("empty", ""), &result), "");
    EXPECT_EQ(result, 0);
}

TEST(Base64, MissingFileWritesNothing)
{
    QM_REQUIRE_SANDBOX();
    int result = -1;
    EXPECT_EQ(OurBase64("/tmp/no-such-file-here", &result), "");
    EXPECT_EQ(result, 1);
}

TEST(Base64, WritesToAPipe)
{
    QM_REQUIRE_SANDBOX();
    TempDir dir;
    std::string path = dir.File("p", "hello world");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(base64(path.c_str(), p[1]), 0);
    close(p[1]);
    EXPECT_EQ(ReadAll(p[0]), "aGVsbG8gd29ybGQ=\n");
    close(p[0]);
}

// A path naming a directory opens but cannot be read: the encoder must stop.
TEST(Base64, DirectoryEnds)
{
    QM_REQUIRE_SANDBOX();
    TempDir dir;
    const std::string path = dir.path;
    auto r = qmtest::InChild([&] {
        int out = TempFd();
        int result = base64(path.c_str(), out);
        fprintf(stderr, "%d:%s", result, ReadAll(out).c_str());
        return 0;
    });
    EXPECT_EQ(r.status, 0) << "base64 of a directory did not end";
    EXPECT_EQ(r.err, "1:");
}

TEST(HexToBytes, DecodesPairsIntoZeroEndedBuffer)
{
    unsigned char *b = HexToBytes("0aFF10", 2);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[0], 0x0A);
    EXPECT_EQ(b[1], 0xFF);
    EXPECT_EQ(b[2], 0);
    free(b);

    b = HexToBytes("0aFF10", 5);  // 3 pairs in a buffer of 6
    ASSERT_NE(b, nullptr);
    const unsigned char want[6] = {0x0A, 0xFF, 0x10, 0, 0, 0};
    EXPECT_EQ(memcmp(b, want, 6), 0);
    free(b);

    b = HexToBytes("abc", 127);  // an odd last digit is not decoded
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[0], 0xAB);
    EXPECT_EQ(b[1], 0);
    free(b);
}

TEST(HexToBytes, PairsConvertLikeStrtol)
{
    unsigned char *b = HexToBytes(" f-1zz0x7g", 5);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[0], 0x0F);  // leading blank
    EXPECT_EQ(b[1], 0xFF);  // -1, low 8 bits
    EXPECT_EQ(b[2], 0x00);  // not a number
    EXPECT_EQ(b[3], 0x00);  // "0x" alone
    EXPECT_EQ(b[4], 0x07);  // stops at the first non-digit
    EXPECT_EQ(b[5], 0x00);
    free(b);
}

TEST(HexToBytes, EmptyTextAndCountBelowZero)
{
    unsigned char *b = HexToBytes("", 4);
    ASSERT_NE(b, nullptr);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(b[i], 0);
    free(b);
    for (signed char count : {static_cast<signed char>(0), static_cast<signed char>(-1),
                              static_cast<signed char>(-128)}) {
        b = HexToBytes("0102", count);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b[0], 0);  // one zero byte, nothing decoded
        free(b);
    }
}

TEST(BytesToHex, BlankSeparatedLowerCase)
{
    const unsigned char three[] = {0x01, 0xAB, 0xFF};
    char *t = BytesToHex(three, 3);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "01 ab ff");
    const unsigned char one[] = {0x07};
    EXPECT_STREQ(BytesToHex(one, 1), "07");
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    t = BytesToHex(all.data(), 256);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(strlen(t), 256u * 3 - 1);
    EXPECT_EQ(std::string(t).substr(0, 12), "00 01 02 03 ");
    EXPECT_EQ(std::string(t).substr(strlen(t) - 5), "fe ff");
    EXPECT_EQ(BytesToHex(one, 0), nullptr);
    EXPECT_EQ(BytesToHex(one, -5), nullptr);
}

TEST(DottedToInt, FirstNumberInLowestByte)
{
    EXPECT_EQ(DottedToInt(""), 0u);
    EXPECT_EQ(DottedToInt("1"), 1u);
    EXPECT_EQ(DottedToInt("1.2"), 0x201u);
    EXPECT_EQ(DottedToInt("256.0"), 0x100u);
    EXPECT_EQ(DottedToInt("1.256"), 0x10001u);  // a large part reaches into the next byte
    EXPECT_EQ(DottedToInt("10.0.0.1"), 0x0100000Au);
    EXPECT_EQ(DottedToInt("1..3"), 0x030001u);  // an empty part is 0
    EXPECT_EQ(DottedToInt("1.2.3.4.5.6"), DottedToInt("1.2.3.4"));  // parts after the fourth
    EXPECT_EQ(DottedToInt("x.7"), 0x700u);
}

TEST(DottedToInt, MatchesInetAddrForAddresses)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::string text;
        for (int k = 0; k < 4; ++k)
            text += (k ? "." : "") + std::to_string(rng() % 256);
        if (i == 0)
            text = "255.255.255.255";
        if (i == 1)
            text = "0.0.0.0";
        ASSERT_EQ(DottedToInt(text.c_str()), static_cast<uint32_t>(inet_addr(text.c_str()))) << text;
    }
}

TEST(WriteLogLine, StampedLineVisibleAtOnce)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *stream = fdopen(p[1], "w");
    ASSERT_NE(stream, nullptr);
    setvbuf(stream, nullptr, _IOFBF, 4096);  // fully buffered: only the flush shows it
    // The stamp is the time of day (gettimeofday): time() may lag it by a clock tick at
    // the turn of a second, so the bounds come from the same clock.
    auto seconds = [] {
        timeval tv{};
        gettimeofday(&tv, nullptr);
        return static_cast<long>(tv.tv_sec);
    };
    const long before = seconds();
    EXPECT_EQ(WriteLogLine("scan started", stream), 0);
    const long after = seconds();
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    char buf[256] = {};
    ssize_t n = read(p[0], buf, sizeof buf - 1);
    ASSERT_GT(n, 0);
    std::cmatch m;
    ASSERT_TRUE(std::regex_match(buf, m, std::regex(R"(\[(\d+),(\d+)\] scan started\n)"))) << buf;
    const long stamp = std::stol(m[1].str());
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_LT(std::stol(m[2].str()), 1000000);
    fclose(stream);
    close(p[0]);
}

namespace {

constexpr int kCovered[] = {SIGABRT, SIGHUP,  SIGINT,    SIGQUIT,   SIGPIPE, SIGALRM,
                            SIGTERM, SIGUSR1, SIGUSR2,   SIGBUS,    16,      SIGIO,
                            SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,   SIGPWR,  SIGSEGV};
volatile sig_atomic_t caught = 0;
void Catch(int sig) { caught = sig; }
void Marker(int) {}

std::string CheckDispositions(void (*wanted)(int))
{
    std::string faults;
    for (int sig = 1; sig < 32; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        struct sigaction sa;
        sigaction(sig, nullptr, &sa);
        const bool covered = std::find(std::begin(kCovered), std::end(kCovered), sig) != std::end(kCovered);
        void (*expect)(int) = covered ? wanted : Marker;
        if (sa.sa_handler != expect)
            faults += "signal " + std::to_string(sig) + (covered ? " not installed; " : " changed; ");
    }
    return faults;
}

} // namespace

TEST(InstallSignalHangler, EighteenSignalsAndNoOthers)
{
    static_assert(sizeof kCovered / sizeof kCovered[0] == 18);
    EXPECT_EQ(SIGSTKFLT, 16);
    auto r = qmtest::InChild([] {
        for (int sig = 1; sig < 32; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                signal(sig, Marker);
        std::string faults;
        if (InstallSignalHangler(Catch) != 1)
            faults += "result not 1; ";
        faults += CheckDispositions(Catch);
        raise(SIGUSR2);
        if (caught != SIGUSR2)
            faults += "handler not called; ";
        if (InstallSignalHangler(SIG_IGN) != 1)
            faults += "result not 1; ";
        faults += CheckDispositions(SIG_IGN);
        raise(SIGTERM);  // ignored now
        if (InstallSignalHangler(SIG_DFL) != 1)
            faults += "result not 1; ";
        faults += CheckDispositions(SIG_DFL);
        fputs(faults.c_str(), stderr);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}
