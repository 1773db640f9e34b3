// Acquisition speed setup: fixed columns, the six '|' fields and their lists, capacities
// and 0xFF fills, rejected lines and files, the change marker, the companion file, more
// than 20 entries and long fields, and a speed file replaced while it is polled.
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

const char kSpeed[] = "/dev/shm/acqspeed.conf";
const char kCompanion[] = "/etc/quor/fsmdevextra";

// Every speed file a test writes gets a modification time no earlier call has seen.
time_t NextTime()
{
    static time_t next = 500000000;
    return ++next;
}

void SetMtime(const char *path, time_t t)
{
    timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path, ts, 0), 0);
}

time_t WriteSpeed(const std::string &content)
{
    qmtest::WriteFile(kSpeed, content);
    time_t t = NextTime();
    SetMtime(kSpeed, t);
    return t;
}

std::string Header(int start, int end)
{
    char b[32];
    snprintf(b, sizeof b, "%011d%011d\n", start, end);
    return b;
}

std::string Fixed(int id, int code1, int code2)
{
    char b[32];
    snprintf(b, sizeof b, "%011d%03d%03d", id, code1, code2);
    return b;
}

std::string Numbers(int from, int count, const char *format = "%d")
{
    std::string s;
    for (int i = 0; i < count; ++i) {
        char b[16];
        snprintf(b, sizeof b, format, from + i);
        s += (i ? "," : "") + std::string(b);
    }
    return s;
}

std::vector<uint8_t> List(const uint8_t *places, size_t n) { return {places, places + n}; }

std::vector<uint8_t> Filled(std::vector<uint8_t> head, size_t capacity)
{
    head.resize(capacity, 0xFF);
    return head;
}

const std::vector<uint8_t> kFreeA(32, 0xFF), kFree(128, 0xFF);

std::unique_ptr<AcqSpeedSetup> NewSetup()
{
    auto s = std::make_unique<AcqSpeedSetup>();
    memset(s.get(), 0x5A, sizeof *s);
    return s;
}

class AcqSpeed : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        unlink(kCompanion);
    }
    std::unique_ptr<AcqSpeedSetup> s = NewSetup();
};

} // namespace

TEST_F(AcqSpeed, ExampleEntryLine)
{
    WriteSpeed(Header(100, 200) + "00000000012003000|1,2|-|7|-|-\n");
    ASSERT_EQ(GetAcqSpeedSetup(s.get()), 1);
    EXPECT_EQ(s->count, 1);
    EXPECT_EQ(s->start, 100);
    EXPECT_EQ(s->end, 200);
    EXPECT_EQ(s->id[0], 12);
    EXPECT_EQ(s->code1[0], 3);
    EXPECT_EQ(s->code2[0], 1);  // 0 is replaced by 1
    EXPECT_EQ(List(s->listA[0], 32), Filled({1, 2}, 32));
    EXPECT_EQ(List(s->listD[0], 128), Filled({7}, 128));
    EXPECT_EQ(List(s->listB[0], 128), kFree);
    EXPECT_EQ(List(s->listC[0], 128), kFree);
    EXPECT_EQ(List(s->listE[0], 128), kFree);
    EXPECT_EQ(s->flags[0], 0x11);
    // The rest of the record was cleared.
    EXPECT_EQ(s->id[1], 0);
    EXPECT_EQ(s->flags[1], 0);
    EXPECT_EQ(List(s->listA[1], 32), std::vector<uint8_t>(32, 0));
}

TEST_F(AcqSpeed, EachFieldFillsItsListAndFlag)
{
    WriteSpeed(Header(-5, 5) +
               Fixed(-12, 300, 256) + "|1|2|3|4|5\r\n" +  // all five lists, CR LF ending
               Fixed(7, 1, 9) + "|6|7|-|-|\n" +             // empty 6th field cut: skipped
               Fixed(8, 1, 9) + "|-x|-|,|-|-\n" +          // ',' gives two zeros
               "99999999999  5 22|1|-|-|-|-\n");             // blanks, clamping
    ASSERT_EQ(GetAcqSpeedSetup(s.get()), 1);
    ASSERT_EQ(s->count, 3);
    EXPECT_EQ(s->start, -5);
    EXPECT_EQ(s->id[0], -12);
    EXPECT_EQ(s->code1[0], 44);  // low 8 bits
    EXPECT_EQ(s->code2[0], 1);   // 256 stores 0, replaced by 1
    EXPECT_EQ(List(s->listA[0], 32), Filled({1}, 32));
    EXPECT_EQ(List(s->listB[0], 128), Filled({2}, 128));
    EXPECT_EQ(List(s->listD[0], 128), Filled({3}, 128));
    EXPECT_EQ(List(s->listE[0], 128), Filled({4}, 128));
    EXPECT_EQ(List(s->listC[0], 128), Filled({5}, 128));
    EXPECT_EQ(s->flags[0], 0x3D);  // 0x02 never

    EXPECT_EQ(s->id[1], 8);
    EXPECT_EQ(s->code2[1], 9);
    EXPECT_EQ(List(s->listD[1], 128), Filled({0, 0}, 128));
    EXPECT_EQ(List(s->listA[1], 32), kFreeA);
    EXPECT_EQ(s->flags[1], 0x10);

    EXPECT_EQ(s->id[2], INT32_MAX);
    EXPECT_EQ(s->code1[2], 5);
    EXPECT_EQ(s->code2[2], 22);
}

TEST_F(AcqSpeed, ListElementsAreLowBytesAndCapacitiesHold)
{
    WriteSpeed(Header(0, 1) + Fixed(1, 1, 1) + "|" + Numbers(0, 40) + "|" + Numbers(0, 200) +
               "|1,255,300,-1, 7x|-|-\n");
    ASSERT_EQ(GetAcqSpeedSetup(s.get()), 1);
    std::vector<uint8_t> a, b;
    for (int i = 0; i < 32; ++i)
        a.push_back(uint8_t(i));
    for (int i = 0; i < 128; ++i)
        b.push_back(uint8_t(i));
    EXPECT_EQ(List(s->listA[0], 32), a);
    EXPECT_EQ(List(s->listB[0], 128), b);
    EXPECT_EQ(List(s->listD[0], 128), Filled({1, 0xFF, 44, 0xFF, 7}, 128));
    EXPECT_EQ(s->flags[0], 0x15);
}

TEST_F(AcqSpeed, FieldsLongerThan511CharactersAreReadWhole)
{
    // 130 zero-padded numbers: 649 characters; the first 128 are kept.
    std::string longField = Numbers(1, 130, "%04d");
    ASSERT_GT(longField.size(), 511u);
    WriteSpeed(Header(0, 1) + Fixed(3, 1, 1) + "|-|" + longField + "|-|-|" + Numbers(200, 3) + "\n");
    ASSERT_EQ(GetAcqSpeedSetup(s.get()), 1);
    std::vector<uint8_t> b;
    for (int i = 1; i <= 128; ++i)
        b.push_back(uint8_t(i));
    EXPECT_EQ(List(s->listB[0], 128), b);
    EXPECT_EQ(List(s->listC[0], 128), Filled({200, 201, 202}, 128));
    EXPECT_EQ(s->flags[0], 0x0C);
}

TEST_F(AcqSpeed, LineOver1023CharactersIsReadAsSeveralLines)
{
    std::string junk(1023, 'x');
    WriteSpeed(Header(0, 1) + junk + Fixed(55, 1, 2) + "|9|-|-|-|-\n" + Fixed(56, 1, 2) +
               "|8|-|-|-|-\n");
    ASSERT_EQ(GetAcqSpeedSetup(s.get()), 1);
    ASSERT_EQ(s->count, 2);
    EXPECT_EQ(s->id[0], 55);
    EXPECT_EQ(s->id[1], 56);
}

TEST_F(AcqSpeed, MoreThanTwentyEntriesKeepTheFirstTwenty)
{
    std::string file = Header(0, 1);
    for (int i = 0; i < 25; ++i)
        file += Fixed(1000 + i, i, 1) + "|" + std::to_string(i) + "|-|-|-|-\n";
    WriteSpeed(file);
    // Guard bytes right after the record: nothing may be stored past its end.
    std::vector<unsigned char> block(sizeof(AcqSpeedSetup) + 256, 0xC3);
    auto *rec = reinterpret_cast<AcqSpeedSetup *>(block.data());
    ASSERT_EQ(GetAcqSpeedSetup(rec), 1);
    EXPECT_EQ(rec->count, 20);
    EXPECT_EQ(rec->id[19], 1019);
    EXPECT_EQ(rec->listA[19][0], 19);
    EXPECT_EQ(std::vector<unsigned char>(block.begin() + sizeof(AcqSpeedSetup), block.end()),
              std::vector<unsigned char>(256, 0xC3));
}

TEST_F(AcqSpeed, RejectedFilesAndTheirLeftovers)
{
    // Equal header values: the whole file is rejected, the record holds only the header.
    WriteSpeed(Header(7, 7) + Fixed(1, 1, 1) + "|1|-|-|-|-\n");
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 0);
    EXPECT_EQ(s->start, 7);
    EXPECT_EQ(s->end, 7);
    EXPECT_EQ(s->count, 0);
    EXPECT_EQ(s->id[0], 0);
    // Unchanged file: 2, the record is left alone.
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 2);

    // A valid header and no acceptable entry: 0; entry 0 keeps the last skipped line's
    // fixed values and fills.
    WriteSpeed(Header(1, 2) + "short|line\n" + Fixed(33, 4, 0) + "|-|-|-|-|-\n" +
               Fixed(34, 5, 6) + "|1|2|3|4\n");
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 0);
    EXPECT_EQ(s->count, 0);
    EXPECT_EQ(s->end, 2);
    EXPECT_EQ(s->id[0], 34);
    EXPECT_EQ(s->code1[0], 5);
    EXPECT_EQ(List(s->listA[0], 32), kFreeA);
    EXPECT_EQ(s->flags[0], 0);
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 2);  // a rejected file counts as seen

    // An empty file: no header.
    WriteSpeed("");
    memset(s.get(), 0x5A, sizeof *s);
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 0);
    EXPECT_EQ(s->start, 0);
    EXPECT_EQ(s->count, 0);

    // No record: 0, and the change marker is not touched.
    WriteSpeed(Header(1, 2) + Fixed(9, 1, 1) + "|1|-|-|-|-\n");
    EXPECT_EQ(GetAcqSpeedSetup(nullptr), 0);
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 1);
}

TEST_F(AcqSpeed, ChangeMarkerAndCompanionFile)
{
    time_t t = WriteSpeed(Header(1, 2) + Fixed(9, 1, 1) + "|1|-|-|-|-\n");
    ASSERT_EQ(GetAcqSpeedSetup(s.get()), 1);
    auto copy = std::make_unique<AcqSpeedSetup>(*s);
    // Changed content with the same modification time is not seen.
    qmtest::WriteFile(kSpeed, Header(1, 2) + Fixed(10, 1, 1) + "|1|-|-|-|-\n");
    SetMtime(kSpeed, t);
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 2);
    EXPECT_EQ(memcmp(s.get(), copy.get(), sizeof *s), 0);

    // The file gone: 0, the companion removed, the marker reset ...
    qmtest::WriteFile(kCompanion, "x");
    ASSERT_EQ(unlink(kSpeed), 0);
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 0);
    EXPECT_FALSE(qmtest::Exists(kCompanion));
    EXPECT_EQ(memcmp(s.get(), copy.get(), sizeof *s), 0);
    EXPECT_EQ(GetAcqSpeedSetup(nullptr), 0);
    // ... so a new file is parsed whatever its time, even the one seen before.
    qmtest::WriteFile(kSpeed, Header(1, 2) + Fixed(10, 1, 1) + "|1|-|-|-|-\n");
    SetMtime(kSpeed, t);
    EXPECT_EQ(GetAcqSpeedSetup(s.get()), 1);
    EXPECT_EQ(s->id[0], 10);
}

TEST_F(AcqSpeed, ExitRemovesBothFiles)
{
    WriteSpeed(Header(1, 2));
    EXPECT_EQ(ExitAcqSpeed(), -1);  // no companion: -1, the speed file still removed
    EXPECT_FALSE(qmtest::Exists(kSpeed));
    WriteSpeed(Header(1, 2));
    qmtest::WriteFile(kCompanion, "x");
    EXPECT_EQ(ExitAcqSpeed(), 0);
    EXPECT_FALSE(qmtest::Exists(kSpeed));
    EXPECT_FALSE(qmtest::Exists(kCompanion));
    EXPECT_EQ(ExitAcqSpeed(), -1);
}

// ---- A speed file replaced while it is polled ----------------------------------------

namespace {

// Entry lines of one width, so that whatever a reader combines from an in-place rewrite
// starts and ends on line boundaries.
std::string Version(int v, int entries)
{
    std::string s = Header(v, v + 1000);
    for (int i = 0; i < entries; ++i) {
        char b[128];
        snprintf(b, sizeof b, "%011d%03d%03d|%03d,%03d|-|%03d|-|-\n", v * 100 + i, v, i + 1,
                 i, v, (i * 7 + v) % 250);
        s += b;
    }
    return s;
}

struct Entry {
    int32_t id;
    uint8_t code1, code2, flags;
    std::vector<uint8_t> a, b, c, d, e;
    bool operator==(const Entry &) const = default;
};

Entry EntryOf(const AcqSpeedSetup &s, int i)
{
    return {s.id[i], s.code1[i], s.code2[i], s.flags[i], List(s.listA[i], 32),
            List(s.listB[i], 128), List(s.listC[i], 128), List(s.listD[i], 128),
            List(s.listE[i], 128)};
}

// Replaces the speed file with the versions in turn for the given time: by rename (a
// whole new file each time) or in place (truncated and written line by line). Each version
// gets its own modification time when complete.
[[noreturn]] void Writer(bool inPlace, const std::vector<std::string> &versions, double seconds)
{
    double end = qmtest::NowSeconds() + seconds;
    for (size_t n = 0; qmtest::NowSeconds() < end; ++n) {
        const std::string &text = versions[n % versions.size()];
        const char *target = inPlace ? kSpeed : "/dev/shm/acqspeed.conf.new";
        int fd = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            _exit(1);
        for (size_t pos = 0; pos < text.size();) {
            size_t nl = text.find('\n', pos);
            size_t len = (nl == std::string::npos ? text.size() : nl + 1) - pos;
            if (write(fd, text.data() + pos, len) != ssize_t(len))
                _exit(2);
            pos += len;
        }
        timespec ts[2] = {{time_t(700000000 + n), 0}, {time_t(700000000 + n), 0}};
        futimens(fd, ts);
        close(fd);
        if (!inPlace && rename(target, kSpeed) != 0)
            _exit(3);
        usleep(200);
    }
    _exit(0);
}

void PollWhileReplaced(bool inPlace)
{
    const std::vector<int> sizes = {1, 7, 20};
    std::vector<std::string> versions;
    std::vector<std::unique_ptr<AcqSpeedSetup>> whole;
    std::vector<Entry> entries;
    for (size_t v = 0; v < sizes.size(); ++v) {
        versions.push_back(Version(int(v) + 1, sizes[v]));
        WriteSpeed(versions.back());
        whole.push_back(NewSetup());
        ASSERT_EQ(GetAcqSpeedSetup(whole.back().get()), 1);
        for (int i = 0; i < whole.back()->count; ++i)
            entries.push_back(EntryOf(*whole.back(), i));
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        Writer(inPlace, versions, 1.5);

    auto s = NewSetup();
    int parsed = 0, unusable = 0, foreign = 0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        int r = GetAcqSpeedSetup(s.get());
        if (r == 0) {
            ++unusable;  // only a reader racing an in-place rewrite may see an empty file
        } else if (r == 1) {
            ++parsed;
            bool known = false;
            for (auto &w : whole)
                known = known || memcmp(w.get(), s.get(), sizeof *s) == 0;
            if (inPlace && !known) {
                // A parse overlapping a rewrite: a header and whole entry lines of the
                // versions involved, never a line of its own making.
                known = s->count <= 20;
                for (int i = 0; i < s->count && i < 20; ++i)
                    known = known &&
                            std::find(entries.begin(), entries.end(), EntryOf(*s, i)) != entries.end();
            }
            if (!known)
                ++foreign;
        } else if (r != 2) {
            ++foreign;
        }
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GT(parsed, 0);
    EXPECT_EQ(foreign, 0);
    if (!inPlace) {
        EXPECT_EQ(unusable, 0);
    }
    // Once the writer is done, the record settles on the file's version.
    int r = GetAcqSpeedSetup(s.get());
    EXPECT_TRUE(r == 1 || r == 2);
    std::string last = qmtest::ReadFile(kSpeed);
    size_t v = size_t(std::find(versions.begin(), versions.end(), last) - versions.begin());
    ASSERT_LT(v, versions.size());
    EXPECT_EQ(memcmp(whole[v].get(), s.get(), sizeof *s), 0);
}

} // namespace

TEST_F(AcqSpeed, FileReplacedByRenameWhilePolled) { PollWhileReplaced(false); }

TEST_F(AcqSpeed, FileRewrittenInPlaceWhilePolled) { PollWhileReplaced(true); }
