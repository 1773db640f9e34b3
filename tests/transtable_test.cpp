// Model translation table: rules read from transtable.models and the first-match rule
// lookup used to correct identifications.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "discovery.h"
#include "testsupport.h"

namespace {

const char *const TableFile = "/etc/quor/db/devices/transtable.models";

void ResetTable()
{
    for (int i = 0; i < TransRules.count; ++i)
        free(TransRules.rules[i]);
    free(TransRules.rules);
    TransRules.rules = nullptr;
    TransRules.count = 0;
}

// Loads a fresh table from the given file content.
void LoadFrom(const std::string &content)
{
    ResetTable();
    qmtest::WriteFile(TableFile, content);
    LoadTransTable();
}

// Index of the rule that matches, or -1.
int MatchIndex(std::vector<uint8_t> bytes, uint16_t w1, uint16_t w2, uint16_t w3)
{
    bytes.resize(9, 0);
    const TransRule *r = MatchTransRule(bytes.data(), w1, w2, w3);
    for (int i = 0; i < TransRules.count; ++i)
        if (TransRules.rules[i] == r)
            return i;
    return -1;
}

class TransTableTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        ResetTable();
        if (qmtest::InSandbox())
            unlink(TableFile);
    }
};

} // namespace

TEST_F(TransTableTest, RuleFieldsFromTokens)
{
    QM_REQUIRE_SANDBOX();
    LoadFrom("4142 0001 * 0107 NEWNAME12345 * 0099 *\n"
             "* * ab * * 12 * Fe\r\n"
             "414243444546474849 * * * M * * *\n"  // 18 digits: all nine bytes
             "4142434445464748495 * * * M * * *\n"  // 19 digits: odd one ignored
             "123 12345 zz -1 m * * *\n");
    ASSERT_EQ(TransRules.count, 5);
    const TransRule &a = *TransRules.rules[0];
    EXPECT_EQ(a.byteCount, 2);
    EXPECT_EQ(a.bytes[0], 0x41);
    EXPECT_EQ(a.bytes[1], 0x42);
    EXPECT_EQ(a.matchWord1, 0x0001);
    EXPECT_EQ(a.matchWord2, 0xFFFF);
    EXPECT_EQ(a.matchWord3, 0x0107);
    EXPECT_STREQ(a.modelName, "NEWNAME12");
    EXPECT_EQ(a.outWord1, 0xFFFF);
    EXPECT_EQ(a.outWord2, 0x0099);
    EXPECT_EQ(a.outWord3, 0xFFFF);
    EXPECT_EQ(a.flags, 0x01 | 0x02 | 0x08);

    const TransRule &b = *TransRules.rules[1];
    EXPECT_EQ(b.byteCount, 0);
    EXPECT_EQ(b.matchWord2, 0x00AB);
    EXPECT_STREQ(b.modelName, "");
    EXPECT_EQ(b.outWord1, 0x0012);
    EXPECT_EQ(b.outWord3, 0x00FE);  // CR of a CR LF line is a blank
    EXPECT_EQ(b.flags, 0x04);

    for (int i : {2, 3}) {
        const TransRule &c = *TransRules.rules[i];
        EXPECT_EQ(c.byteCount, 9);
        EXPECT_EQ(memcmp(c.bytes, "ABCDEFGHI", 9), 0);
        EXPECT_EQ(c.flags, 0x01);
    }
    const TransRule &d = *TransRules.rules[4];
    EXPECT_EQ(d.byteCount, 1);  // "123": one pair, the odd digit dropped
    EXPECT_EQ(d.bytes[0], 0x12);
    EXPECT_EQ(d.matchWord1, 0x2345);  // reduced to 16 bits
    EXPECT_EQ(d.matchWord2, 0x0000);  // does not parse
    EXPECT_EQ(d.matchWord3, 0xFFFF);
    EXPECT_EQ(d.flags, 0x0F);
}

TEST_F(TransTableTest, LinesThatAreNotRules)
{
    QM_REQUIRE_SANDBOX();
    LoadFrom("# 4142 * * * A * * *\n"
             "; 4142 * * * B * * *\n"
             "4142 * * * C * *\n"                // seven tokens
             "4142 * * * D * * * extra\n"        // nine tokens
             "\n"
             "   \t \n"
             "4142 * * * " + std::string(20, 'N') + " * * *\n"  // token too long
             "4142 * * * " + std::string(19, 'L') + " * * *\n"  // longest token
             " # 4142 * * * * * *\n"             // blank first: not a comment
             "4142\t*\t*\t*\tE\t*\t*\t*");        // tabs, no final newline
    ASSERT_EQ(TransRules.count, 3);
    EXPECT_STREQ(TransRules.rules[0]->modelName, "LLLLLLLLL");
    const TransRule &h = *TransRules.rules[1];
    EXPECT_EQ(h.flags, 0x01 | 0x02);  // '#' as token 1: one character, no bytes
    EXPECT_EQ(h.byteCount, 0);
    EXPECT_EQ(h.matchWord1, 0x4142);
    EXPECT_STREQ(TransRules.rules[2]->modelName, "E");
}

TEST_F(TransTableTest, OverlongLineIsDroppedWhole)
{
    QM_REQUIRE_SANDBOX();
    // The tail of a line longer than the line buffer is not a rule of its own.
    std::string padded = "AA" + std::string(1021, ' ') + "4142 * * * TAIL * * *\n";
    std::string fits = "BB * * * Y" + std::string(1023 - 10 - 5, ' ') + "* * *";
    ASSERT_EQ(fits.size(), 1023u);
    LoadFrom(padded + fits + "\n4343 * * * NEXT * * *\n");
    ASSERT_EQ(TransRules.count, 2);
    EXPECT_STREQ(TransRules.rules[0]->modelName, "Y");
    EXPECT_STREQ(TransRules.rules[1]->modelName, "NEXT");
}

TEST_F(TransTableTest, MissingFileAndLoadOnce)
{
    QM_REQUIRE_SANDBOX();
    ResetTable();
    unlink(TableFile);
    LoadTransTable();
    EXPECT_EQ(TransRules.count, 0);
    EXPECT_EQ(MatchIndex({0x41}, 1, 2, 3), -1);

    LoadFrom("41 * * * A * * *\n");
    qmtest::WriteFile(TableFile, "41 * * * A * * *\n42 * * * B * * *\n");
    LoadTransTable();  // the table is built once per run
    EXPECT_EQ(TransRules.count, 1);
}

TEST_F(TransTableTest, MatchNeedsEveryRequestedTest)
{
    QM_REQUIRE_SANDBOX();
    LoadFrom("* * * * ALLWILD * * *\n"      // 0: flags 0, never matches
             "4 * * * ONECHAR * * *\n"      // 1: byte test without bytes
             "* FFFF * * FFFF * * *\n"      // 2: FFFF asks for a test that never passes
             "4142 0001 * 0107 BOTH * * *\n"  // 3
             "4142 * * * BYTES * * *\n"     // 4
             "* 0001 0023 * WORDS * * *\n"  // 5
             "41 * * 0200 THIRD * * *\n");  // 6
    ASSERT_EQ(TransRules.count, 7);
    EXPECT_EQ(TransRules.rules[0]->flags, 0);
    EXPECT_EQ(TransRules.rules[1]->flags, 0x01);
    EXPECT_EQ(TransRules.rules[2]->flags, 0x02);

    EXPECT_EQ(MatchIndex({0x41, 0x42, 0x1E}, 0x0001, 0x0023, 0x0107), 3);  // first wins
    EXPECT_EQ(MatchIndex({0x41, 0x42}, 0x0001, 0x0023, 0x0108), 4);
    EXPECT_EQ(MatchIndex({0x41, 0x43}, 0x0001, 0x0023, 0x0107), 5);
    EXPECT_EQ(MatchIndex({0x41, 0x43}, 0x0001, 0x0024, 0x0200), 6);
    EXPECT_EQ(MatchIndex({0x41, 0x43}, 0x0001, 0x0024, 0x0201), -1);
    EXPECT_EQ(MatchIndex({0x40}, 0xFFFF, 0xFFFF, 0xFFFF), -1);
    EXPECT_EQ(MatchIndex({0x04}, 0x0004, 0x0000, 0x0000), -1);
    EXPECT_EQ(MatchTransRule(nullptr, 0x0001, 0x0023, 0), TransRules.rules[5]);
}

TEST_F(TransTableTest, WildcardOutputsKeepTheIdentification)
{
    QM_REQUIRE_SANDBOX();
    LoadFrom("4142 * * * * * * *\n"
             "4142 * * * OTHER 1 2 3\n");
    const TransRule *r = MatchTransRule(reinterpret_cast<const uint8_t *>("AB\0\0\0\0\0\0\0"),
                                        1, 2, 3);
    ASSERT_EQ(r, TransRules.rules[0]);
    EXPECT_STREQ(r->modelName, "");
    EXPECT_EQ(r->outWord1, 0xFFFF);
    EXPECT_EQ(r->outWord2, 0xFFFF);
    EXPECT_EQ(r->outWord3, 0xFFFF);
}
