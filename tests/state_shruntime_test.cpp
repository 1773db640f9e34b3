// Shared runtime slots in /dev/shm: table creation and reset, slot addressing modulo 256,
// the slot past the table's end, short files, writers in several processes, and a full
// disk (a call that fails changes nothing). Readers and writers racing and killed writers:
// state_writers_test.
#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

constexpr size_t kSlot = 904;
constexpr off_t kTableSize = 255 * 904;

std::string SlotFile(long id) { return "/dev/shm/sh_" + std::to_string(id) + ".share"; }

off_t SizeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::vector<unsigned char> Pattern(unsigned char first)
{
    std::vector<unsigned char> v(kSlot);
    for (size_t i = 0; i < kSlot; ++i)
        v[i] = static_cast<unsigned char>(first + i * 7);
    return v;
}

bool AllZero(const std::vector<unsigned char> &v)
{
    for (unsigned char c : v)
        if (c)
            return false;
    return true;
}

} // namespace

TEST(ShareRuntime, CreateNamesFileAndZeroFillsTable)
{
    QM_REQUIRE_SANDBOX();
    mode_t old = umask(022);
    EXPECT_EQ(InitShareRuntime(7), 0);
    EXPECT_EQ(InitShareRuntime(-1), 0);
    umask(old);
    EXPECT_EQ(SizeOf("/dev/shm/sh_7.share"), kTableSize);
    EXPECT_EQ(SizeOf("/dev/shm/sh_-1.share"), kTableSize);
    std::string content = qmtest::ReadFile("/dev/shm/sh_7.share");
    EXPECT_EQ(content, std::string(size_t(kTableSize), '\0'));
    struct stat st;
    ASSERT_EQ(stat("/dev/shm/sh_7.share", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);  // 0777 less the umask

    EXPECT_EQ(UnInitShareRuntime(7), 0);
    EXPECT_EQ(UnInitShareRuntime(-1), 0);
    EXPECT_FALSE(qmtest::Exists("/dev/shm/sh_7.share"));
    EXPECT_EQ(UnInitShareRuntime(7), -1);  // already gone
}

TEST(ShareRuntime, SlotsRoundTripAndIndexActsModulo256)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(InitShareRuntime(11), 0);
    auto a = Pattern(1), b = Pattern(2);
    EXPECT_EQ(SetShRuntime(11, 0, a.data()), 1);
    EXPECT_EQ(SetShRuntime(11, static_cast<uint8_t>(300), b.data()), 1);  // slot 44

    std::vector<unsigned char> got(kSlot, 0xAA);
    EXPECT_EQ(GetShRuntime(11, static_cast<uint8_t>(256), got.data()), 1);  // slot 0
    EXPECT_EQ(got, a);
    EXPECT_EQ(GetShRuntime(11, 44, got.data()), 1);
    EXPECT_EQ(got, b);
    EXPECT_EQ(GetShRuntime(11, 43, got.data()), 1);
    EXPECT_TRUE(AllZero(got));

    // The bytes sit at slot × 904 in the file, nothing else moves.
    std::string file = qmtest::ReadFile(SlotFile(11));
    ASSERT_EQ(file.size(), size_t(kTableSize));
    EXPECT_EQ(file.compare(44 * kSlot, kSlot, std::string(b.begin(), b.end())), 0);

    // Re-initialising resets every slot.
    EXPECT_EQ(InitShareRuntime(11), 0);
    EXPECT_EQ(GetShRuntime(11, 0, got.data()), 1);
    EXPECT_TRUE(AllZero(got));
    EXPECT_EQ(qmtest::ReadFile(SlotFile(11)), std::string(size_t(kTableSize), '\0'));
    EXPECT_EQ(UnInitShareRuntime(11), 0);
}

TEST(ShareRuntime, Slot255LiesAtTheEndOfTheFile)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(InitShareRuntime(12), 0);
    std::vector<unsigned char> got(kSlot, 0xAA);
    EXPECT_EQ(GetShRuntime(12, 255, got.data()), 0);
    EXPECT_TRUE(AllZero(got));  // cleared, nothing read

    auto a = Pattern(9);
    EXPECT_EQ(SetShRuntime(12, 255, a.data()), 1);
    EXPECT_EQ(SizeOf(SlotFile(12)), 256 * 904);
    EXPECT_EQ(GetShRuntime(12, 255, got.data()), 1);
    EXPECT_EQ(got, a);
    EXPECT_EQ(UnInitShareRuntime(12), 0);
}

TEST(ShareRuntime, ShortFileGivesPartialSlotAndZeroResult)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(InitShareRuntime(13), 0);
    auto a = Pattern(5);
    ASSERT_EQ(SetShRuntime(13, 3, a.data()), 1);
    ASSERT_EQ(truncate(SlotFile(13).c_str(), 3 * 904 + 100), 0);

    std::vector<unsigned char> got(kSlot, 0xAA);
    EXPECT_EQ(GetShRuntime(13, 3, got.data()), 0);
    std::vector<unsigned char> want(a.begin(), a.begin() + 100);
    want.resize(kSlot, 0);
    EXPECT_EQ(got, want);

    // A slot wholly beyond the end: nothing read, buffer cleared.
    std::fill(got.begin(), got.end(), 0xAA);
    EXPECT_EQ(GetShRuntime(13, 200, got.data()), 0);
    EXPECT_TRUE(AllZero(got));
    EXPECT_EQ(UnInitShareRuntime(13), 0);
}

TEST(ShareRuntime, MissingTableIsNeverCreated)
{
    QM_REQUIRE_SANDBOX();
    std::vector<unsigned char> got(kSlot, 0xAA);
    auto a = Pattern(3);
    EXPECT_EQ(GetShRuntime(99, 0, got.data()), 0);
    EXPECT_EQ(got, std::vector<unsigned char>(kSlot, 0xAA));  // untouched
    EXPECT_EQ(SetShRuntime(99, 0, a.data()), 0);
    EXPECT_FALSE(qmtest::Exists(SlotFile(99)));
    EXPECT_EQ(UnInitShareRuntime(99), -1);
    // Null buffers are refused instead of dereferenced.
    ASSERT_EQ(InitShareRuntime(98), 0);
    EXPECT_EQ(GetShRuntime(98, 0, nullptr), 0);
    EXPECT_EQ(SetShRuntime(98, 0, nullptr), 0);
    EXPECT_EQ(UnInitShareRuntime(98), 0);
}

// Writers in separate processes, each owning one slot and all sharing slot 100. Every read
// meanwhile succeeds; afterwards every slot holds one writer's complete last block (the
// later write wins).
TEST(ShareRuntime, ProcessesWritingSlotsConcurrently)
{
    QM_REQUIRE_SANDBOX();
    ASSERT_EQ(InitShareRuntime(20), 0);
    const int kWriters = 3, kRounds = 200;
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int r = 0; r < kRounds; ++r) {
                auto block = Pattern(static_cast<unsigned char>(w * 50 + r % 50));
                if (SetShRuntime(20, static_cast<uint8_t>(w), block.data()) != 1 ||
                    SetShRuntime(20, 100, block.data()) != 1)
                    _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    int failed = 0;
    std::vector<unsigned char> got(kSlot);
    for (int r = 0; r < kRounds; ++r)
        if (GetShRuntime(20, 100, got.data()) != 1)
            ++failed;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failed, 0);
    std::vector<std::vector<unsigned char>> last;
    for (int w = 0; w < kWriters; ++w) {
        last.push_back(Pattern(static_cast<unsigned char>(w * 50 + (kRounds - 1) % 50)));
        ASSERT_EQ(GetShRuntime(20, static_cast<uint8_t>(w), got.data()), 1);
        EXPECT_EQ(got, last.back());
    }
    ASSERT_EQ(GetShRuntime(20, 100, got.data()), 1);
    EXPECT_NE(std::find(last.begin(), last.end(), got), last.end());
    EXPECT_EQ(SizeOf(SlotFile(20)), kTableSize);
    EXPECT_EQ(UnInitShareRuntime(20), 0);
}

// On a full disk a write that needs room fails before it changes anything (the file is
// one page long: slot 4 crosses its end, a reset would grow it).
TEST(ShareRuntime, FullDiskChangesNothing)
{
    QM_REQUIRE_SANDBOX();
    const std::string page(4096, 'x');
    auto a = Pattern(4);
    for (bool reset : {true, false}) {
        if (!qmtest::MountSmallTmpfs("/dev/shm", 512))
            GTEST_SKIP() << "no tmpfs can be mounted over /dev/shm here";
        qmtest::WriteFile(SlotFile(30), page);
        std::string filler = qmtest::FillUp("/dev/shm");
        EXPECT_EQ(reset ? InitShareRuntime(30) : SetShRuntime(30, 4, a.data()), reset ? -1 : 0);
        EXPECT_TRUE(qmtest::ReadFile(SlotFile(30)) == page) << (reset ? "reset" : "slot 4");
        unlink(filler.c_str());
        qmtest::Unmount("/dev/shm");
    }
}
