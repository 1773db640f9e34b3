// Temperature history file info: file names, the 85-byte trailer window, the indexed
// record's leading number, the record count, missing tokens, record length 0 and
// over-long tokens.
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

std::string Name(long id, const char *ext)
{
    char b[80];
    snprintf(b, sizeof b, "/var/log/temp_isto/%011ld.%s", id, ext);
    return b;
}

// The trailer padded to its window of exactly 85 bytes.
std::string Trailer(const std::string &tokens)
{
    std::string t = tokens;
    t.resize(84, ' ');
    return t + "\n";
}

// Ten 40-byte records, each starting with an 11-digit number (7000 + index), plus 10
// bytes: 410 bytes in all. Record 3 starts with blanks before its token.
std::string Data()
{
    std::string d;
    for (int i = 0; i < 10; ++i) {
        char b[48];
        snprintf(b, sizeof b, i == 3 ? "  %011dT  temp %d" : "%011d 21.5 %d", 7000 + i, i);
        std::string r = b;
        r.resize(39, ' ');
        d += r + "\n";
    }
    return d + "tail tail\n";
}

void Files(long id, const std::string &data, const std::string &companion)
{
    qmtest::WriteFile(Name(id, "tempisto"), data);
    qmtest::WriteFile(Name(id, "temphid"), companion);
}

TempFileInfo Filled()
{
    TempFileInfo info;
    memset(&info, 0x5A, sizeof info);
    return info;
}

bool AllZero(const TempFileInfo &info)
{
    TempFileInfo zero;
    memset(&zero, 0, sizeof zero);
    return memcmp(&info, &zero, sizeof info) == 0;
}

class TempInfo : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
    }
};

} // namespace

TEST_F(TempInfo, TrailerAndIndexedRecord)
{
    // Text before the window is not read: the window starts at "3".
    Files(42, Data(), "999999999" + Trailer("3 17 SENSOR_A 40 99"));
    ASSERT_TRUE(qmtest::Exists("/var/log/temp_isto/00000000042.tempisto"));
    TempFileInfo info = Filled();
    ASSERT_EQ(GetTempFileInfo(42, &info), 1);
    EXPECT_EQ(info.recordIndex, 3);
    EXPECT_EQ(info.indexedValue, 7003);  // token at byte 120, after its blanks
    EXPECT_EQ(info.second, 17);
    EXPECT_STREQ(info.text, "SENSOR_A");
    EXPECT_EQ(info.recordLength, 40);
    EXPECT_EQ(info.fifth, 99);
    EXPECT_EQ(info.recordCount, 10u);  // 410 / 40
    EXPECT_EQ(std::string(info.text + 9, info.text + sizeof info.text),
              std::string(sizeof info.text - 9, '\0'));
}

TEST_F(TempInfo, IndexMinusOneZeroAndNonPositiveProductsReadTheFirstRecord)
{
    const char *trailers[] = {"-1 0 t 40 0", "0 0 t 40 0", "5 0 t -40 0",
                              "65536 0 t 65536 0"};  // the product wraps to 0
    for (const char *t : trailers) {
        Files(7, Data(), Trailer(t));
        TempFileInfo info = Filled();
        ASSERT_EQ(GetTempFileInfo(7, &info), 1) << t;
        EXPECT_EQ(info.indexedValue, 7000) << t;
    }
}

TEST_F(TempInfo, OnlyElevenCharactersOfTheTokenCount)
{
    Files(8, "00001234567XYZ rest\n", Trailer("0 0 t 20 0"));
    TempFileInfo info = Filled();
    ASSERT_EQ(GetTempFileInfo(8, &info), 1);
    EXPECT_EQ(info.indexedValue, 1234567);
    EXPECT_EQ(info.recordCount, 1u);

    // A token far longer than the work buffer: read without overrun.
    std::string longToken(3000, '1');
    longToken.append(" 2\n");
    Files(8, longToken, Trailer("0 0 t 20 0"));
    info = Filled();
    ASSERT_EQ(GetTempFileInfo(8, &info), 1);
    EXPECT_EQ(info.indexedValue, INT32_MAX);  // 11111111111 clamped
    EXPECT_EQ(info.recordCount, 150u);
}

TEST_F(TempInfo, CompanionOfEightyFourBytesIsRefused)
{
    Files(9, Data(), std::string(84, ' '));
    TempFileInfo info = Filled();
    EXPECT_EQ(GetTempFileInfo(9, &info), 0);
    EXPECT_TRUE(AllZero(info));

    Files(9, Data(), Trailer("1 2 x 40 5"));  // exactly 85: the whole file is the trailer
    info = Filled();
    EXPECT_EQ(GetTempFileInfo(9, &info), 1);
    EXPECT_EQ(info.indexedValue, 7001);
    EXPECT_EQ(info.fifth, 5);
}

TEST_F(TempInfo, MissingFilesGiveZeroAndClearedRecord)
{
    unlink(Name(10, "tempisto").c_str());
    unlink(Name(10, "temphid").c_str());
    qmtest::WriteFile(Name(10, "temphid"), Trailer("1 2 x 40 5"));
    TempFileInfo info = Filled();
    EXPECT_EQ(GetTempFileInfo(10, &info), 0);
    EXPECT_TRUE(AllZero(info));
    unlink(Name(10, "temphid").c_str());
    qmtest::WriteFile(Name(10, "tempisto"), Data());
    info = Filled();
    EXPECT_EQ(GetTempFileInfo(10, &info), 0);
    EXPECT_TRUE(AllZero(info));
    EXPECT_EQ(GetTempFileInfo(10, nullptr), 0);
}

TEST_F(TempInfo, NegativeIdentifierNamesTheFiles)
{
    Files(-1, Data(), Trailer("2 0 t 40 0"));
    ASSERT_TRUE(qmtest::Exists("/var/log/temp_isto/-0000000001.temphid"));
    TempFileInfo info = Filled();
    EXPECT_EQ(GetTempFileInfo(-1, &info), 1);
    EXPECT_EQ(info.indexedValue, 7002);
}

TEST_F(TempInfo, MissingTokensRepeatTheLastNumber)
{
    // Two tokens only: no text, and both later numbers repeat the second one.
    Files(11, Data(), Trailer("  2 40"));
    TempFileInfo info = Filled();
    ASSERT_EQ(GetTempFileInfo(11, &info), 1);
    EXPECT_EQ(info.recordIndex, 2);
    EXPECT_EQ(info.second, 40);
    EXPECT_STREQ(info.text, "");
    EXPECT_EQ(info.recordLength, 40);
    EXPECT_EQ(info.fifth, 40);
    EXPECT_EQ(info.indexedValue, 7002);

    // No token at all.
    Files(11, Data(), std::string(85, ' '));
    info = Filled();
    ASSERT_EQ(GetTempFileInfo(11, &info), 1);
    EXPECT_EQ(info.recordIndex, 0);
    EXPECT_EQ(info.recordCount, 0u);
    EXPECT_EQ(info.indexedValue, 7000);

    // An index past the data's end: no data token, the fifth number comes again.
    Files(11, Data(), Trailer("20 0 t 40 98765"));
    info = Filled();
    ASSERT_EQ(GetTempFileInfo(11, &info), 1);
    EXPECT_EQ(info.fifth, 98765);
    EXPECT_EQ(info.indexedValue, 98765);
}

TEST_F(TempInfo, NumbersSignsAndRecordLengthZero)
{
    Files(12, Data(), Trailer("+1 -5x 0123456789012345678901234567890123456789 0 99999999999"));
    TempFileInfo info = Filled();
    ASSERT_EQ(GetTempFileInfo(12, &info), 1);
    EXPECT_EQ(info.recordIndex, 1);
    EXPECT_EQ(info.second, -5);
    EXPECT_STREQ(info.text, "0123456789012345678901234567890123456789");
    EXPECT_EQ(info.recordLength, 0);
    EXPECT_EQ(info.recordCount, 0u);  // no division by a length of 0
    EXPECT_EQ(info.fifth, INT32_MAX);
    EXPECT_EQ(info.indexedValue, 7000);  // product 0: the first record

    Files(12, Data(), Trailer("1 0 t -1 0"));  // unsigned division by 0xFFFFFFFF
    info = Filled();
    ASSERT_EQ(GetTempFileInfo(12, &info), 1);
    EXPECT_EQ(info.recordCount, 0u);
}
