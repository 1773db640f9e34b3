// Text dictionaries under /var/www/html/lang/include and character-set conversion.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

const std::string kBase = "/var/www/html/lang/include/";
const std::string kStore = "/tmp/.vesconf_file";

void MakeDirs(const std::string &path)
{
    for (size_t p = 1; (p = path.find('/', p)) != std::string::npos; ++p)
        mkdir(path.substr(0, p).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

void Dict(const std::string &section, const std::string &lang, const std::string &content)
{
    MakeDirs(kBase + section + "/jscript");
    qmtest::WriteFile(kBase + section + "/jscript/" + lang + ".js", content);
}

void SetLangstr(const std::string &lang) { qmtest::WriteFile(kStore, "LANGSTR=\"" + lang + "\"\n"); }

std::string Text(const char *key, const char *section, const char *charset = nullptr)
{
    const char *t = GetTextDict(key, section, charset);
    return t ? t : "<null>";
}

const char kEnglish[] =
    "// alarm texts\n"
    "var HELLO = \"Hello\";\n"
    "var hello = \"lower case\";\n"
    "var BROKEN = \"no end\n"
    "var BROKEN = \"fixed\";\n"
    "var EMPTY = \"\";\n"
    "var\tTAB = \"tab\";\n"
    "var CRLF = \"windows\";\r\n"
    "var COMMENTED = \"val\"; // \"other\"\n"
    "x=1 CUT \"v\"\n"
    "var TEMP = \"Température été\";\n"
    "var EURO = \"5 €\";\n"
    "var PLUS = \"++++\";\n"
    "var ABC = \"abc\";\n"
    "var HELLO = \"second\";\n";

class TextDictTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        unlink(kStore.c_str());
        memset(mLang, 0, sizeof mLang);
    }
};

} // namespace

TEST_F(TextDictTest, NoLanguageGivesACopyOfTheKey)
{
    QM_REQUIRE_SANDBOX();
    Dict("sec", "", "var K = \"wrong\";\n");  // the file an empty language would name
    const char key[] = "K";
    const char *t = GetTextDict(key, "sec", nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "K");
    EXPECT_NE(t, key);
    SetLangstr("");  // an empty entry is no language either
    EXPECT_EQ(Text("K", "sec"), "K");
}

TEST_F(TextDictTest, LineRules)
{
    QM_REQUIRE_SANDBOX();
    Dict("sec", "english", kEnglish);
    SetLangstr("english");
    EXPECT_EQ(Text("HELLO", "sec"), "Hello");  // the first entry counts
    EXPECT_EQ(Text("hello", "sec"), "lower case");
    EXPECT_EQ(Text("BROKEN", "sec"), "fixed");
    EXPECT_EQ(Text("EMPTY", "sec"), "");
    EXPECT_EQ(Text("TAB", "sec"), "TAB");  // a tab does not separate the key
    EXPECT_EQ(Text("CRLF", "sec"), "windows");
    EXPECT_EQ(Text("COMMENTED", "sec"), "val");
    EXPECT_EQ(Text("CUT", "sec"), "CUT");  // quotes after the cut of a "=" before the key
    EXPECT_EQ(Text("MISSING", "sec"), "MISSING");
    EXPECT_EQ(Text("HELLO", "nosection"), "HELLO");
    EXPECT_EQ(Text("var", "sec"), "var");
}

TEST_F(TextDictTest, LongLinesAreReadInPieces)
{
    QM_REQUIRE_SANDBOX();
    std::string content(198, 'x');
    content.append(" LATE = \"tail\";\nvar LONG = \"");
    content.append(190, 'y');
    content.append("\";\n");
    Dict("sec", "english", content);
    SetLangstr("english");
    EXPECT_EQ(Text("LATE", "sec"), "tail");
    EXPECT_EQ(Text("LONG", "sec"), "LONG");  // its closing quote lies in the next piece
}

TEST_F(TextDictTest, RingOfTwenty)
{
    QM_REQUIRE_SANDBOX();
    Dict("sec", "english", "var A = \"alpha\";\n");
    SetLangstr("english");
    std::vector<const char *> results;
    for (int i = 0; i < 20; ++i)
        results.push_back(GetTextDict(i % 2 ? "A" : ("K" + std::to_string(i)).c_str(), "sec", nullptr));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(std::string(results[static_cast<size_t>(i)]), i % 2 ? "alpha" : "K" + std::to_string(i));
        EXPECT_EQ(std::count(std::begin(pDictText), std::end(pDictText), results[static_cast<size_t>(i)]), 1);
    }
    const size_t first = static_cast<size_t>(std::find(std::begin(pDictText), std::end(pDictText), results[0]) -
                                             std::begin(pDictText));
    char *next = GetTextDict("A", "sec", nullptr);
    EXPECT_EQ(pDictText[first], next);  // the twenty-first call took the first one's slot
    for (int i = 1; i < 20; ++i)
        EXPECT_EQ(std::string(results[static_cast<size_t>(i)]), i % 2 ? "alpha" : "K" + std::to_string(i));
}

TEST_F(TextDictTest, LanguageOverride)
{
    QM_REQUIRE_SANDBOX();
    Dict("sec", "english", "var T = \"english\";\n");
    Dict("sec", "deutsch", "var T = \"deutsch\";\n");
    Dict("sec", "abcdefghi", "var T = \"nine\";\n");
    SetLangstr("english");
    EXPECT_EQ(Text("T", "sec"), "english");
    EXPECT_STREQ(GetTextDictLang("T", "sec", nullptr, "deutsch"), "deutsch");
    EXPECT_EQ(Text("T", "sec"), "deutsch");  // the override stays
    EXPECT_STREQ(GetTextDictLang("T", "sec", nullptr, nullptr), "english");
    EXPECT_EQ(mLang[0], 0);
    EXPECT_STREQ(GetTextDictLang("T", "sec", nullptr, "abcdefghijkl"), "nine");
    EXPECT_STREQ(mLang, "abcdefghi");
    EXPECT_STREQ(GetTextDictLang("T", "sec", nullptr, "klingon"), "T");
    // A full 10-byte mLang written directly by a caller is read as its first 9 characters.
    memcpy(mLang, "abcdefghiX", 10);
    EXPECT_EQ(Text("T", "sec"), "nine");
    memset(mLang, 0, sizeof mLang);
}

TEST_F(TextDictTest, LongLanguageOrPathIsNoFile)
{
    QM_REQUIRE_SANDBOX();
    const std::string lang49(49, 'l'), lang60(60, 'l');
    Dict("s", lang49, "var T = \"49\";\n");
    SetLangstr(lang49);
    EXPECT_EQ(Text("T", "s"), "49");
    SetLangstr(lang60);
    EXPECT_EQ(Text("T", "s"), "T");
    char out[200];
    EXPECT_EQ(GetTextAlarmLanguage("T", out), 0);
    EXPECT_STREQ(out, "T");

    const std::string longSection(70, 's');  // path over 99 characters
    Dict(longSection, "english", "var T = \"far\";\n");
    SetLangstr("english");
    EXPECT_EQ(Text("T", longSection.c_str()), "T");
    const std::string section = std::string(99 - 27 - 9 - 7 - 3, 's');  // exactly 99
    Dict(section, "english", "var T = \"fits\";\n");
    EXPECT_EQ(Text("T", section.c_str()), "fits");
}

TEST_F(TextDictTest, ConvertedTexts)
{
    QM_REQUIRE_SANDBOX();
    Dict("sec", "english", kEnglish);
    SetLangstr("english");
    EXPECT_EQ(Text("TEMP", "sec", "ISO-8859-1"), "Temp\xe9rature \xe9t\xe9");
    EXPECT_EQ(Text("EURO", "sec", "ISO-8859-15"), "5 \xa4");
    EXPECT_EQ(Text("EURO", "sec", "WINDOWS-1252"), "5 \x80");
    EXPECT_EQ(Text("EURO", "sec", "ISO-8859-1"), "5 €");    // no euro sign: UTF-8 kept
    EXPECT_EQ(Text("TEMP", "sec", "ASCII"), "Température été");
    EXPECT_EQ(Text("TEMP", "sec", "NO-SUCH-CHARSET"), "Température été");
    EXPECT_EQ(Text("ABC", "sec", "UTF-32LE"), "abc");      // more than twice the length
    EXPECT_EQ(Text("EMPTY", "sec", "ISO-8859-1"), "");
    EXPECT_EQ(Text("CLÉ", "sec", "ISO-8859-1"), "CLÉ");    // the key is never converted
    // Exactly twice the length fills the buffer and is still terminated.
    const char *plus = GetTextDict("PLUS", "sec", "UTF-7");
    ASSERT_NE(plus, nullptr);
    EXPECT_EQ(strlen(plus), 8u);
    EXPECT_STREQ(plus, "+-+-+-+-");
}

TEST_F(TextDictTest, AlarmLanguage)
{
    QM_REQUIRE_SANDBOX();
    Dict("systembin", "english", kEnglish);
    Dict("systembin", "deutsch", "var HELLO = \"Hallo\";\n");
    char out[200];
    memset(out, 'z', sizeof out);
    EXPECT_EQ(GetTextAlarmLanguage("HELLO", out), 0);  // no LANGSTR
    EXPECT_STREQ(out, "HELLO");
    SetLangstr("english");
    memcpy(mLang, "deutsch", 8);  // not consulted
    EXPECT_EQ(GetTextAlarmLanguage("HELLO", out), 1);
    EXPECT_STREQ(out, "Hello");
    EXPECT_EQ(GetTextAlarmLanguage("TEMP", out), 1);
    EXPECT_STREQ(out, "Température été");
    EXPECT_EQ(GetTextAlarmLanguage("EMPTY", out), 1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(GetTextAlarmLanguage("BROKEN", out), 1);
    EXPECT_STREQ(out, "fixed");
    EXPECT_EQ(GetTextAlarmLanguage("MISSING", out), 0);
    EXPECT_STREQ(out, "MISSING");
    SetLangstr("klingon");
    EXPECT_EQ(GetTextAlarmLanguage("HELLO", out), 0);
    EXPECT_STREQ(out, "HELLO");
    memset(mLang, 0, sizeof mLang);
}

TEST(ConvTo, RealCharacterSets)
{
    const char text[] = "Température 5 €";
    struct {
        const char *charset;
        const char *want;  // null: not representable, the input comes back
    } cases[] = {
        {"ISO-8859-15", "Temp\xe9rature 5 \xa4"},
        {"WINDOWS-1252", "Temp\xe9rature 5 \x80"},
        {"ISO-8859-1", nullptr},
        {"ASCII", nullptr},
        {"NO-SUCH-CHARSET", nullptr},
    };
    for (auto &c : cases) {
        char *r = ConvTo(text, c.charset);
        if (c.want) {
            EXPECT_STREQ(r, c.want) << c.charset;
            EXPECT_EQ(r, mTextUtfTo);
        } else {
            EXPECT_EQ(r, text) << c.charset;
        }
    }
    EXPECT_STREQ(ConvTo("été", "ISO-8859-1"), "\xe9t\xe9");
    EXPECT_STREQ(text, "Température 5 €");
}

TEST(ConvTo, EmptyTextAndReleasedBuffer)
{
    const char empty[] = "";
    ASSERT_NE(ConvTo("abc", "ISO-8859-1"), nullptr);
    EXPECT_NE(mTextUtfTo, nullptr);
    EXPECT_EQ(ConvTo(empty, "ISO-8859-1"), empty);
    EXPECT_EQ(mTextUtfTo, nullptr);  // the previous buffer was released
    // A failed conversion keeps its buffer recorded until the next call.
    const char invalid[] = "ab\xff";
    EXPECT_EQ(ConvTo(invalid, "ISO-8859-1"), invalid);
    EXPECT_NE(mTextUtfTo, nullptr);
    const char incomplete[] = "ab\xc3";
    EXPECT_EQ(ConvTo(incomplete, "ISO-8859-1"), incomplete);
}

TEST(ConvTo, OutputRoomIsTwiceTheInput)
{
    const char abc[] = "abc";
    EXPECT_EQ(ConvTo(abc, "UTF-32LE"), abc);  // 12 bytes needed, 6 allowed
    char *r = ConvTo("ab", "UTF-16LE");        // exactly 4 bytes
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(memcmp(r, "a\0b\0\0", 5), 0);
    r = ConvTo("+++", "UTF-7");  // exactly 6 bytes, none of them zero
    EXPECT_STREQ(r, "+-+-+-");
    r = ConvFromTo("\xe9\xe9\xe9", "ISO-8859-1", "UTF-8");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(strlen(r), 6u);
    EXPECT_STREQ(r, "ééé");
}

TEST(ConvFromTo, OwnBufferIndependentOfConvTo)
{
    char *to = ConvTo("été", "ISO-8859-1");
    ASSERT_EQ(to, mTextUtfTo);
    char *fromTo = ConvFromTo("\xe9t\xe9", "ISO-8859-1", "UTF-8");
    EXPECT_EQ(fromTo, mTextUtfFromTo);
    EXPECT_STREQ(fromTo, "été");
    EXPECT_STREQ(to, "\xe9t\xe9");  // untouched by ConvFromTo
    EXPECT_EQ(mTextUtfTo, to);
    EXPECT_STREQ(ConvFromTo("\x80", "WINDOWS-1252", "ISO-8859-15"), "\xa4");
    const char text[] = "x";
    EXPECT_EQ(ConvFromTo(text, "NO-SUCH-CHARSET", "UTF-8"), text);
    EXPECT_EQ(ConvFromTo(text, "UTF-8", "NO-SUCH-CHARSET"), text);
    EXPECT_STREQ(to, "\xe9t\xe9");
    const char empty[] = "";
    EXPECT_EQ(ConvFromTo(empty, "UTF-8", "ISO-8859-1"), empty);
    EXPECT_EQ(mTextUtfFromTo, nullptr);
}
