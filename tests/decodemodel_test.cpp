// Model code decoding: the model text built from the 4-byte model code, and the suffix
// names looked up in decode.models.
#include <unistd.h>

#include <cstring>

#include "discovery.h"
#include "testsupport.h"

namespace {

const char *const ModelsFile = "/etc/quor/db/devices/decode.models";

std::string Decode(std::vector<uint8_t> bytes)
{
    return DecodeModelCode(bytes.data(), static_cast<int>(bytes.size()));
}

std::string Lookup(int code, int *found = nullptr)
{
    char out[5] = {0};
    int r = LookupDecodeModel(code, out);
    if (found)
        *found = r;
    EXPECT_EQ(out[4], '\0');
    return out;
}

class DecodeModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qmtest::InSandbox())
            unlink(ModelsFile);
    }
    void TearDown() override
    {
        if (qmtest::InSandbox())
            unlink(ModelsFile);
    }
};

} // namespace

TEST_F(DecodeModel, LetterAndDigitFormsWithoutModelsFile)
{
    QM_REQUIRE_SANDBOX();
    EXPECT_EQ(Decode({0x41, 0x42, 0x1E, 0xE3}), "XAB123C");
    EXPECT_EQ(Decode({0x41, 0x42, 0x00, 0xA1}), "XAB02A");
    EXPECT_EQ(Decode({0x41, 0x35, 0x00, 0x41}), "XA5001CX");  // built-in name of '!'
    EXPECT_EQ(Decode({0x41, 0x42, 0xFF, 0xFF}), "XAB");       // v = 1023, '_' unknown
    EXPECT_EQ(Decode({0x41, 0x42, 0xF9, 0xE1}), "XAB999A");   // largest printed v
    EXPECT_EQ(Decode({0x41, 0x42, 0xFA, 0x21}), "XABA");      // v = 1000 is dropped
    EXPECT_EQ(Decode({0x20, 0x20, 0x00, 0x61}), "X  01A");    // blanks are accepted
    EXPECT_EQ(Decode({0x39, 0x30, 0x00, 0x41}), "X91CX");     // digit b0, digit form
    // Further bytes are ignored.
    EXPECT_EQ(Decode({0x41, 0x42, 0x1E, 0xE3, 0x99, 0x99}), "XAB123C");
}

TEST_F(DecodeModel, RejectedCodesGiveEmptyText)
{
    QM_REQUIRE_SANDBOX();
    EXPECT_EQ(Decode({0x61, 0x42, 0x00, 0x41}), "");  // lower-case b0
    EXPECT_EQ(Decode({0x41, 0x62, 0x00, 0x41}), "");  // lower-case b1
    EXPECT_EQ(Decode({0x41, 0x2D, 0x00, 0x41}), "");  // '-' as b1
    EXPECT_EQ(Decode({0xC1, 0x42, 0x00, 0x41}), "");
    EXPECT_EQ(Decode({0x41, 0x42, 0x1E}), "");        // 3-byte reply
    EXPECT_EQ(DecodeModelCode(nullptr, 4), std::string());
    // A rejected code also clears the text of the previous call.
    Decode({0x41, 0x42, 0x1E, 0xE3});
    EXPECT_EQ(Decode({0x41, 0x42}), "");
}

TEST_F(DecodeModel, ZeroByteEndsTheVisibleText)
{
    QM_REQUIRE_SANDBOX();
    std::string t = Decode({0x41, 0x00, 0x1E, 0xE3});
    EXPECT_EQ(t, "XA123C");
    t = Decode({0x00, 0x42, 0x1E, 0xE3});  // b1 is lost behind the zero b0
    EXPECT_EQ(t, "X123C");
    t = Decode({0x00, 0x00, 0x00, 0xA1});
    EXPECT_EQ(t, "X02A");
    t = Decode({0x00, 0x37, 0x00, 0x41});  // digit form: the number follows "X"
    EXPECT_EQ(t, "X7001CX");
}

TEST_F(DecodeModel, LongestResultFitsTheBuffer)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile(ModelsFile, "005F WXYZQ\n");
    // Digit form with b1 = '9' and v = 1023: five digits and a four-character name.
    EXPECT_EQ(Decode({0x5A, 0x39, 0xFF, 0xFF}), "XZ10023WXYZ");
    EXPECT_EQ(Decode({0x5A, 0x5A, 0xF9, 0xFF}), "XZZ999WXYZ");
}

TEST_F(DecodeModel, LetterSuffixesNeverUseTheFile)
{
    QM_REQUIRE_SANDBOX();
    // A file that names every suffix character: letters must still print as letters.
    std::string content;
    for (int code = 0x20; code <= 0x5F; ++code) {
        char line[16];
        snprintf(line, sizeof line, "%04X N%02X\n", code, code);
        content += line;
    }
    qmtest::WriteFile(ModelsFile, content);
    for (int s = 0x21; s <= 0x3A; ++s) {
        std::string expect = "XAB00";
        expect += static_cast<char>(s + 0x20);
        EXPECT_EQ(Decode({0x41, 0x42, 0x00, static_cast<uint8_t>(s)}), expect) << s;
    }
    EXPECT_EQ(Decode({0x41, 0x42, 0x00, 0x00}), "XAB00N20");  // blank suffix
    EXPECT_EQ(Decode({0x41, 0x42, 0x00, 0x01}), "XAB00N21");  // file beats built-in CX
    EXPECT_EQ(Decode({0x41, 0x42, 0x00, 0x10}), "XAB00N30");  // '0'
    EXPECT_EQ(Decode({0x41, 0x42, 0xFF, 0xFF}), "XABN5F");
}

TEST_F(DecodeModel, LookupWithoutFileKnowsOnlyCX)
{
    QM_REQUIRE_SANDBOX();
    int found = -1;
    EXPECT_EQ(Lookup(0x21, &found), "CX");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(Lookup(0x30, &found), "");
    EXPECT_EQ(found, 0);
    // With a file, 0x21 needs an entry like any other code.
    qmtest::WriteFile(ModelsFile, "0030 AB\n");
    EXPECT_EQ(Lookup(0x21, &found), "");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(Decode({0x41, 0x35, 0x00, 0x41}), "XA5001");
}

TEST_F(DecodeModel, LookupLineFormat)
{
    QM_REQUIRE_SANDBOX();
    qmtest::WriteFile(ModelsFile,
                      "0030 ABCDE\n"       // name cut to four characters
                      "0031 AB\r\n"        // CR LF ending
                      "0032 FIRST\n"
                      "0032 SECOND\n"      // a second line for the same code is not used
                      "003301234\n"        // code cut after four characters: 0x33
                      "0034\n"             // entry without a name
                      "3g ZZZZ\n"          // hex stops at 'g': code 3
                      "\n"
                      "0035 x\r\n");
    int found = -1;
    EXPECT_EQ(Lookup(0x30, &found), "ABCD");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(Lookup(0x31), "AB");
    EXPECT_EQ(Lookup(0x32), "FIRS");
    EXPECT_EQ(Lookup(0x33), "1234");
    EXPECT_EQ(Lookup(0x34, &found), "");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(Lookup(0x03), "ZZ");
    EXPECT_EQ(Lookup(0x35), "x");
    EXPECT_EQ(Lookup(0x36, &found), "");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(Decode({0x41, 0x42, 0x1E, 0xD0}), "XAB123ABCD");  // suffix '0'
}

TEST_F(DecodeModel, LongLinesAreReadInPieces)
{
    QM_REQUIRE_SANDBOX();
    // The first 19 characters form one piece, the rest of the line the next.
    std::string first = "0040 LONG..........";
    ASSERT_EQ(first.size(), 19u);
    qmtest::WriteFile(ModelsFile, first + "0041 TAIL\n" + std::string(60, 'x') + "\n" +
                                      "0042 LAST\r\n");
    EXPECT_EQ(Lookup(0x40), "LONG");
    EXPECT_EQ(Lookup(0x41), "TAIL");
    EXPECT_EQ(Lookup(0x42), "LAST");
    // A CR LF split over two pieces: no CR in the name, and the next line still counts.
    qmtest::WriteFile(ModelsFile, "0043 " + std::string(13, 'k') + "\r\n0044 NEXT\n");
    EXPECT_EQ(Lookup(0x43), "kkkk");
    EXPECT_EQ(Lookup(0x44), "NEXT");
}
