// Configuration store /tmp/.vesconf_file: reading rules, rewriting rules, permission bits,
// planted links and failed writes.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

const std::string kStore = "/tmp/.vesconf_file";
const std::string kOldTemp = "/tmp/.vesconf_file_tmp";

struct Got {
    int result;
    std::string text;
};

// GetVesconfEntry into a buffer that holds prefill before the call.
Got Get(const std::string &key, const std::string &prefill = "")
{
    char buf[150] = {};
    strncpy(buf, prefill.c_str(), sizeof buf - 1);
    int r = GetVesconfEntry(key.c_str(), buf);
    return {r, buf};
}

std::string Store() { return qmtest::ReadFile(kStore); }

// Names in /tmp that begin with the store's name, other than the store itself.
std::vector<std::string> Leftovers()
{
    std::vector<std::string> names;
    DIR *d = opendir("/tmp");
    if (!d)
        return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.rfind(".vesconf_file", 0) == 0 && n != ".vesconf_file")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

// Removes the store, every name beginning with it and the test's victim files.
void Clean()
{
    unlink(kStore.c_str());
    for (const std::string &n : Leftovers())
        unlink(("/tmp/" + n).c_str());
    for (const char *v : {"/tmp/qmvictim", "/tmp/qmvictim-new"})
        unlink(v);
}

class VesconfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        Clean();
    }
};

} // namespace

TEST_F(VesconfTest, MissingStore)
{
    QM_REQUIRE_SANDBOX();
    EXPECT_EQ(Get("LANGSTR", "keep").result, 0);
    EXPECT_EQ(Get("LANGSTR", "keep").text, "keep");
    EXPECT_EQ(GetTimeDateFormat(), 0);
    EXPECT_EQ(SetVesconfEntry("LANGSTR", "italiano"), 1);
    EXPECT_EQ(Store(), "LANGSTR=\"italiano\"\n");
    EXPECT_EQ(Get("LANGSTR").text, "italiano");
}

TEST_F(VesconfTest, ReadingRules)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile(kStore,
                      "PLAIN=value\n"
                      "Q=\"a\"b\"c\"\n"
                      "SP =x\n"
                      "LEAD= y\n"
                      "DUP=\"first\"\n"
                      "DUP=\"second\"\n"
                      "\n"
                      "no equals sign here\n"
                      "EQ=a=b\n"
                      "CR=\"v\"\r\n"
                      "CRS=w\r\r\n\n\n"
                      "EMPTY=\"\"\n"
                      "Case=lower\n"
                      "=nokey\n");
    EXPECT_EQ(Get("PLAIN").text, "value");
    EXPECT_EQ(Get("PLAIN").result, 5);
    EXPECT_EQ(Get("Q").text, "abc");
    EXPECT_EQ(Get("SP", "d").text, "d");  // the space before "=" belongs to the key
    EXPECT_EQ(Get("SP ").text, "x");
    EXPECT_EQ(Get("LEAD").text, " y");
    EXPECT_EQ(Get("DUP").text, "first");
    EXPECT_EQ(Get("EQ").text, "a=b");
    EXPECT_EQ(Get("CR").text, "v");
    EXPECT_EQ(Get("CRS").text, "w");
    EXPECT_EQ(Get("EMPTY", "").result, 0);
    EXPECT_EQ(Get("EMPTY", "default").text, "");  // found: the buffer gets the empty value
    EXPECT_EQ(Get("CASE", "default").text, "default");
    EXPECT_EQ(Get("CASE", "default").result, 7);
    EXPECT_EQ(Get("Case").text, "lower");
    EXPECT_EQ(Get("").text, "nokey");
    EXPECT_EQ(Get("no equals sign here", "z").text, "z");
}

TEST_F(VesconfTest, FieldsHoldAgainstLongLines)
{
    QM_REQUIRE_SANDBOX();
    const std::string k49(49, 'K'), k50(50, 'K'), k60(60, 'K');
    const std::string v160(160, 'v');
    qmtest::WriteFile(kStore, k60 + "=\"cut key\"\n" + k50 + "=\"also too long\"\n" + k49 +
                                  "=\"right\"\n" + "RAW=" + v160 + "\n" + "QRAW=\"" + v160 +
                                  "\"\n");
    EXPECT_EQ(Get(k49).text, "right");  // longer keys are skipped, not cut to match
    EXPECT_EQ(Get(k60).result, 0);
    EXPECT_EQ(Get(k50).result, 0);
    // A raw value longer than 149 characters is cut; the caller's 150 bytes are enough.
    char *exact = static_cast<char *>(malloc(150));
    memset(exact, 0, 150);
    EXPECT_EQ(GetVesconfEntry("RAW", exact), 149);
    EXPECT_EQ(std::string(exact), std::string(149, 'v'));
    memset(exact, 0, 150);
    EXPECT_EQ(GetVesconfEntry("QRAW", exact), 148);  // the opening quote took one place
    free(exact);
}

TEST_F(VesconfTest, LinesAreReadInPiecesOf198)
{
    QM_REQUIRE_SANDBOX();
    const std::string a198(198, 'a');
    qmtest::WriteFile(kStore, a198 + "TAIL=\"piece\"\n" + a198 + "\nNEXT=1\n" + "ONE=" +
                                  std::string(194, 'b') + "\n");
    EXPECT_EQ(Get("TAIL").text, "piece");  // the rest of a long line is a line of its own
    EXPECT_EQ(Get("NEXT").text, "1");
    EXPECT_EQ(Get("ONE").text.size(), 149u);
}

TEST_F(VesconfTest, WrittenEntryBecomesTheOnlyLineOfItsKeyAtTheEnd)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile(kStore, "A=\"1\"\nB=\"2\"\nA=\"3\"\nC=\"4\"\n");
    EXPECT_EQ(SetVesconfEntry("A", "5"), 1);
    EXPECT_EQ(Store(), "B=\"2\"\nC=\"4\"\nA=\"5\"\n");
    EXPECT_EQ(Get("A").text, "5");
    EXPECT_EQ(SetVesconfEntry("B", "x y"), 1);
    EXPECT_EQ(Store(), "C=\"4\"\nA=\"5\"\nB=\"x y\"\n");
}

TEST_F(VesconfTest, WritingAKeyRemovesKeysItBegins)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile(kStore, "LANGSTR=\"en\"\nLAN=\"3\"\nLANG=\"1\"\nOTHER=\"o\"\n");
    EXPECT_EQ(SetVesconfEntry("LANG", "x"), 1);
    EXPECT_EQ(Store(), "LAN=\"3\"\nOTHER=\"o\"\nLANG=\"x\"\n");
    EXPECT_EQ(SetVesconfEntry("", "all"), 1);  // an empty key begins every line
    EXPECT_EQ(Store(), "=\"all\"\n");
}

TEST_F(VesconfTest, OtherLinesAreCopiedWholeWithTheirZeroBytes)
{
    QM_REQUIRE_SANDBOX();
    const std::string old = std::string("no eq\0rest\nEQ=\"a=b\"\n", 20);
    qmtest::WriteFile(kStore, old);
    EXPECT_EQ(SetVesconfEntry("K", "v"), 1);
    EXPECT_EQ(Store(), old + "K=\"v\"\n");
    EXPECT_EQ(Get("EQ").text, "a=b");
}

TEST_F(VesconfTest, QuoteInAValueIsLostOnReading)
{
    QM_REQUIRE_SANDBOX();
    EXPECT_EQ(SetVesconfEntry("K", "say \"hi\""), 1);
    EXPECT_EQ(Store(), "K=\"say \"hi\"\"\n");
    EXPECT_EQ(Get("K").text, "say hi");
}

TEST_F(VesconfTest, TimeDateFormat)
{
    QM_REQUIRE_SANDBOX();
    struct {
        const char *content;
        int want;
    } cases[] = {
        {"FRMDATE=\"us\"\n", 1},
        {"FRMDATE=us\n", 1},
        {"A=1\nFRMDATE=\"us\"\r\n", 1},
        {"FRMDATE=\"US\"\n", 0},
        {"FRMDATE=\"\"\n", 0},
        {"FRMDATE=\"eu\"\n", 0},
        {"FRMDATE=\" us\"\n", 0},
        {"FRMDATE=\"eu\"\nFRMDATE=\"us\"\n", 0},  // the first line counts
        {"FRMDATEX=\"us\"\n", 0},
        {"OTHER=\"us\"\n", 0},
    };
    for (auto &c : cases) {
        qmtest::WriteFile(kStore, c.content);
        EXPECT_EQ(GetTimeDateFormat(), c.want) << c.content;
    }
    unlink(kStore.c_str());
    EXPECT_EQ(GetTimeDateFormat(), 0);
}

TEST_F(VesconfTest, Mode0664WhateverTheUmask)
{
    QM_REQUIRE_SANDBOX();
    for (mode_t mask : {0000, 0022, 0077, 0777}) {
        mode_t old = umask(mask);
        EXPECT_EQ(SetVesconfEntry("M", std::to_string(mask).c_str()), 1);
        umask(old);
        struct stat st;
        ASSERT_EQ(stat(kStore.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0664u) << "umask " << mask;
    }
    EXPECT_EQ(Get("M").text, std::to_string(0777));
}

TEST_F(VesconfTest, NewEntryStartsOnItsOwnLine)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile(kStore, "A=\"1\"");  // written by other means, no final line feed
    EXPECT_EQ(SetVesconfEntry("B", "2"), 1);
    EXPECT_EQ(Store(), "A=\"1\"\nB=\"2\"\n");

    // A written line is cut at 511 characters (losing its line feed).
    unlink(kStore.c_str());
    EXPECT_EQ(SetVesconfEntry("K", std::string(600, 'x').c_str()), 1);
    std::string cut = Store();
    ASSERT_EQ(cut.size(), 511u);
    EXPECT_EQ(SetVesconfEntry("L", "x"), 1);
    EXPECT_EQ(Store(), cut + "\nL=\"x\"\n");
    EXPECT_EQ(Get("L").text, "x");
    EXPECT_EQ(Get("K").text, std::string(148, 'x'));
}

// The old fixed temporary name is never opened: a link planted there (by anyone who can
// write /tmp) must not make the writer clobber its target.
TEST_F(VesconfTest, LinkAtTheOldTemporaryNameIsNotFollowed)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile("/tmp/qmvictim", "precious\n");
    chmod("/tmp/qmvictim", 0600);
    ASSERT_EQ(symlink("/tmp/qmvictim", kOldTemp.c_str()), 0);
    ASSERT_EQ(symlink("/tmp/qmvictim-new", (kOldTemp + ".XXXXXX").c_str()), 0);
    qmtest::WriteFile(kStore, "A=\"1\"\n");

    EXPECT_EQ(SetVesconfEntry("B", "2"), 1);
    EXPECT_EQ(SetVesconfEntry("C", "3"), 1);

    EXPECT_EQ(qmtest::ReadFile("/tmp/qmvictim"), "precious\n");
    struct stat st;
    ASSERT_EQ(stat("/tmp/qmvictim", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(qmtest::Exists("/tmp/qmvictim-new"));
    char target[64] = {};
    ASSERT_GT(readlink(kOldTemp.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/tmp/qmvictim");
    EXPECT_EQ(Store(), "A=\"1\"\nB=\"2\"\nC=\"3\"\n");
}

// A link planted at the store's own name is no store, for the readers as for the writer:
// the writer neither reads its target into the (world-readable) store nor writes the
// target; the link is replaced by a regular store.
TEST_F(VesconfTest, LinkAtTheStoreNameIsReplacedNotFollowed)
{
    QM_REQUIRE_SANDBOX();
    const std::string victim = "root=\"secret\"\nFRMDATE=\"us\"\n";
    qmtest::WriteFile("/tmp/qmvictim", victim);
    chmod("/tmp/qmvictim", 0600);
    ASSERT_EQ(symlink("/tmp/qmvictim", kStore.c_str()), 0);

    char out[150] = "untouched";
    EXPECT_EQ(GetVesconfEntry("root", out), 0);
    EXPECT_EQ(GetTimeDateFormat(), 0);
    EXPECT_EQ(SetVesconfEntry("A", "1"), 1);

    EXPECT_EQ(qmtest::ReadFile("/tmp/qmvictim"), victim);
    struct stat st;
    ASSERT_EQ(stat("/tmp/qmvictim", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(lstat(kStore.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(Store(), "A=\"1\"\n");
}

TEST_F(VesconfTest, NoTemporaryFilesLeftBehind)
{
    QM_REQUIRE_SANDBOX();
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(SetVesconfEntry(("K" + std::to_string(i % 7)).c_str(), std::to_string(i).c_str()), 1);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    EXPECT_EQ(Get("K0").text, "49");
    EXPECT_EQ(Get("K6").text, "48");
}

// A FIFO planted at the store's name must neither block readers nor the writer.
TEST_F(VesconfTest, FifoAtTheStoreNameDoesNotBlock)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(mkfifo(kStore.c_str(), 0666), 0);
    pid_t pid = fork();
    if (pid == 0) {
        char buf[150] = "keep";
        bool ok = GetVesconfEntry("A", buf) == 0 && GetTimeDateFormat() == 0 &&
                  SetVesconfEntry("A", "1") == 1;
        _exit(ok ? 0 : 1);
    }
    EXPECT_EQ(qmtest::WaitExit(pid, 60), 0);
    EXPECT_EQ(Store(), "A=\"1\"\n");
}

// A write that fails half-way (here: the file size limit) leaves the store as it was.
TEST_F(VesconfTest, FailedWriteKeepsTheStore)
{
    QM_REQUIRE_SANDBOX();
    std::string content;
    for (int i = 0; i < 100; ++i)
        content += "KEY" + std::to_string(i) + "=\"" + std::string(40, 'v') + "\"\n";
    qmtest::WriteFile(kStore, content);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(SetVesconfEntry("NEW", "1") == 0 ? 0 : 1);
    }
    EXPECT_EQ(qmtest::WaitExit(pid, 60), 0);
    EXPECT_EQ(Store(), content);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// A writer that holds the writers' guard (the flock of /tmp) for ever delays a write by the
// guard's bound only. The temporary file of a writer that died is removed by the next
// writer; one of a live writer stays.
TEST_F(VesconfTest, StuckWriterAndFilesOfDeadWriters)
{
    QM_REQUIRE_SANDBOX();
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string dead = ".vesconf_file_tmp." + std::to_string(gone) + ".0000abcd";
    const std::string live = ".vesconf_file_tmp." + std::to_string(getpid()) + ".0000abcd";
    qmtest::WriteFile("/tmp/" + dead, "A=\"old\"\n");
    qmtest::WriteFile("/tmp/" + live, "A=\"old\"\n");
    int holder = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    double start = qmtest::NowSeconds();
    EXPECT_EQ(SetVesconfEntry("A", "1"), 1);
    double waited = qmtest::NowSeconds() - start;
    close(holder);
    EXPECT_GT(waited, 1.0);
    EXPECT_LT(waited, 10.0);
    EXPECT_EQ(Store(), "A=\"1\"\n");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{live});
}
