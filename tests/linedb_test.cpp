// The line database (libquordb.so): opening by the unit's relative name, what is not a line
// database, the record's fields as texts and its layout, the schema documented for people
// who add a line with sqlite3, and the looks made outside the caller's process.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sqlite3.h>
#include <sstream>
#include <unistd.h>

#include "benchline.h"
#include "quordb.h"
#include "testsupport.h"

namespace
{

const char kDb[] = "/etc/quor/db/sysconfig/quorLan.db";

std::vector<std::string> Fields(const LineRecord *r)
{
    std::vector<std::string> v;
    for (int k = 0; k < r->fieldCount; ++k)
        v.push_back(r->fields[k] ? r->fields[k] : "<null>");
    return v;
}

// The fields of line id read through handle h (freed again); {"<none>"} without a record.
std::vector<std::string> Fields(int h, int32_t id)
{
    LineRecord *r = GetRecordData(h, 0, id, 0);
    std::vector<std::string> v = r ? Fields(r) : std::vector<std::string>{"<none>"};
    FreeFields(r);
    return v;
}

// Runs sqlite3 on the line database with the given argument text (sqlite3 is a host program,
// run with the shell, also in the 32-bit build).
int Sqlite(const char *args)
{
    std::string command = "sqlite3 ";
    command += kDb;
    command += ' ';
    command += args;
    return system(command.c_str());
}

} // namespace

TEST(LineDb, MissingOrForeignFilesAreNoLineDatabase)
{
    QM_REQUIRE_SANDBOX();
    unlink(kDb);
    EXPECT_EQ(LinkDb("sysconfig/quorLan.db", 0), 0);
    EXPECT_FALSE(qmtest::Exists(kDb)); // opened for reading only: nothing is created
    EXPECT_EQ(LinkDb("", 0), 0);
    EXPECT_EQ(LinkDb(nullptr, 0), 0);
    qmtest::WriteFile(kDb, "this is not a database, just some text long enough to look\n");
    EXPECT_EQ(LinkDb("sysconfig/quorLan.db", 0), 0);
    unlink(kDb);
    ASSERT_EQ(Sqlite("'CREATE TABLE other (id INTEGER)'"), 0);
    EXPECT_EQ(LinkDb("sysconfig/quorLan.db", 0), 0);
    // A table of lines without all the columns is not a line database either.
    ASSERT_EQ(Sqlite("'CREATE TABLE lines (id INTEGER, tty)'"), 0);
    EXPECT_EQ(LinkDb("sysconfig/quorLan.db", 0), 0);
    unlink(kDb);
}

TEST(LineDb, RecordsHoldTheColumnsAsTexts)
{
    QM_REQUIRE_SANDBOX();
    unlink(kDb);
    std::string error;
    ASSERT_TRUE(benchline::WriteRecord(
        kDb, 3, {"pts/7", "19200", "1", "7", "2", "5", "-2", "100", "0", "1", "15"}, error))
        << error;
    ASSERT_TRUE(benchline::WriteRecord(kDb, 4, {"ttyS1", "fast", "", "8", "1"}, error)) << error;
    ASSERT_EQ(Sqlite("'UPDATE lines SET stop_bits = NULL, parity = NULL WHERE id = 4'"), 0);

    int h = LinkDb("sysconfig/quorLan.db", 0);
    ASSERT_NE(h, 0);
    LineRecord *r = GetRecordData(h, 0, 3, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->id, 3);
    EXPECT_EQ(Fields(r), (std::vector<std::string>{"3", "pts/7", "19200", "1", "7", "2", "5", "-2",
                                                   "100", "0", "1", "15"}));
    // The scan driver reads the field array from the record's third 32-bit word.
    const uint32_t *words = reinterpret_cast<const uint32_t *>(r);
    if (sizeof(void *) == 4)
        EXPECT_EQ(words[2], uint32_t(reinterpret_cast<uintptr_t>(r->fields)));
    else
        EXPECT_EQ(reinterpret_cast<const char *>(&r->fields) - reinterpret_cast<const char *>(r),
                  8);
    FreeFields(r);

    EXPECT_EQ(Fields(h, 4), (std::vector<std::string>{"4", "ttyS1", "fast", "", "8", "", "", "",
                                                      "", "", "", ""}));

    EXPECT_EQ(GetRecordData(h, 0, 5, 0), nullptr); // no such line
    EXPECT_EQ(GetRecordData(h, 1, 3, 0), nullptr); // no such table
    EXPECT_EQ(GetRecordData(0, 0, 3, 0), nullptr); // no such handle
    EXPECT_EQ(GetRecordData(h + 1, 0, 3, 0), nullptr);
    FreeFields(nullptr);

    // An absolute name is taken as it stands; a second handle sees the same lines.
    int h2 = LinkDb(kDb, 0);
    ASSERT_NE(h2, 0);
    EXPECT_NE(h2, h);
    EXPECT_EQ(Fields(h2, 3).at(1), "pts/7");
}

TEST(LineDb, ChangesAfterTheLinkAreSeen)
{
    QM_REQUIRE_SANDBOX();
    unlink(kDb);
    std::string error;
    ASSERT_TRUE(benchline::WriteRecord(kDb, 1, {"pts/0", "9600"}, error)) << error;
    int h = LinkDb("sysconfig/quorLan.db", 0);
    ASSERT_NE(h, 0);
    ASSERT_TRUE(benchline::WriteRecord(kDb, 2, {"pts/1", "4800"}, error)) << error;
    EXPECT_EQ(Fields(h, 2), (std::vector<std::string>{"2", "pts/1", "4800", "", "", "", "", "",
                                                      "", "", "", ""}));
}

// linedb/lines.sql, run through sqlite3 as a person would, makes a database the library
// reads; run again on it (as the demo and the bench line do) it keeps the rows.
TEST(LineDb, TheSchemaFileMakesALineDatabase)
{
    QM_REQUIRE_SANDBOX();
    std::string schema = qmtest::SourceDir() + "/linedb/lines.sql";
    unlink(kDb);
    ASSERT_EQ(Sqlite(("< " + schema).c_str()), 0);
    ASSERT_EQ(Sqlite("\"INSERT INTO lines VALUES (1, 'ttyS1', 9600, 0, 8, 1, 0, 0, 100, 0, 0, 0)\""), 0);
    ASSERT_EQ(Sqlite(("< " + schema).c_str()), 0);
    // A number given as text is stored as an integer all the same (the columns are INTEGER).
    ASSERT_EQ(Sqlite("\"INSERT INTO lines VALUES (2, 'ttyS2', '19200', '2', '7', '2', '05', '0', "
                     "'300', '0', '0', '0')\""), 0);
    int h = LinkDb("sysconfig/quorLan.db", 0);
    ASSERT_NE(h, 0);
    EXPECT_EQ(Fields(h, 1), (std::vector<std::string>{"1", "ttyS1", "9600", "0", "8", "1", "0",
                                                      "0", "100", "0", "0", "0"}));
    EXPECT_EQ(Fields(h, 2), (std::vector<std::string>{"2", "ttyS2", "19200", "2", "7", "2", "5",
                                                      "0", "300", "0", "0", "0"}));
}

// Each look runs in a child process, so SQLite never starts in the caller's (its code would
// stay resident there): sqlite3_config succeeds only before SQLite starts. Nothing stays open.
TEST(LineDb, TheCallersProcessNeverStartsSqlite)
{
    QM_REQUIRE_SANDBOX();
    unlink(kDb);
    std::string error;
    ASSERT_TRUE(benchline::WriteRecord(kDb, 1, {"pts/0", "9600"}, error)) << error;
    ASSERT_EQ(sqlite3_shutdown(), SQLITE_OK); // the writer above started it here
    std::set<int> before = qmtest::OpenDescriptors();
    int h = LinkDb("sysconfig/quorLan.db", 0);
    ASSERT_NE(h, 0);
    EXPECT_EQ(Fields(h, 1), (std::vector<std::string>{"1", "pts/0", "9600", "", "", "", "", "",
                                                      "", "", "", ""}));
    EXPECT_EQ(GetRecordData(h, 0, 2, 0), nullptr);
    EXPECT_EQ(qmtest::OpenDescriptors(), before);
    EXPECT_EQ(sqlite3_config(SQLITE_CONFIG_MULTITHREAD), SQLITE_OK)
        << "SQLite was started in the caller's process";
}
