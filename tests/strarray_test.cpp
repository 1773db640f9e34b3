// String arrays, allocator wrappers and the case-conversion ring.
#include <cstdlib>
#include <cstring>

#include "qmveskar.h"
#include "testsupport.h"

namespace {

std::vector<std::string> Elements(const StrArray *a)
{
    std::vector<std::string> v;
    for (int i = 0; i < StrArrayGetCount(a); ++i) {
        const char *e = StrArrayGetAtElement(a, i);
        v.push_back(e ? e : "<null>");
    }
    return v;
}

using V = std::vector<std::string>;

} // namespace

TEST(Explode, EmptyTextOrZeroSeparatorGiveNull)
{
    EXPECT_EQ(Explode("", ','), nullptr);
    EXPECT_EQ(Explode("a,b", 0), nullptr);
    EXPECT_EQ(Explode("a,b", 0x100), nullptr);  // only the low 8 bits count
}

TEST(Explode, FieldsStandAsTheyAre)
{
    struct {
        const char *text;
        int sep;
        V want;
    } cases[] = {
        {"abc", ',', {"abc"}},
        {",a", ',', {"", "a"}},
        {"a,", ',', {"a", ""}},
        {"a,,b", ',', {"a", "", "b"}},
        {",", ',', {"", ""}},
        {" a , b ", ',', {" a ", " b "}},
        {"1|2|3", '|', {"1", "2", "3"}},
        {"x\xff" "y", 0x1ff, {"x", "y"}},  // separator 0xFF, given with high bits set
    };
    for (auto &c : cases) {
        StrArray *a = Explode(c.text, c.sep);
        ASSERT_NE(a, nullptr) << c.text;
        EXPECT_EQ(Elements(a), c.want) << c.text;
        EXPECT_EQ(ArrayFree(a), 0);
    }
}

TEST(Explode, InputUnchangedAndElementsAreCopies)
{
    char text[] = "one,two";
    StrArray *a = Explode(text, ',');
    EXPECT_STREQ(text, "one,two");
    ASSERT_EQ(StrArrayGetCount(a), 2);
    EXPECT_NE(StrArrayGetAtElement(a, 0), text);
    ArrayFree(a);
}

TEST(ArrayPush, GrowsFromNullAndKeepsOrder)
{
    StrArray *a = ArrayPush(nullptr, "first");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(StrArrayGetCount(a), 1);
    a = ArrayPush(a, "");
    for (int i = 0; i < 50; ++i)
        a = ArrayPush(a, std::to_string(i).c_str());
    ASSERT_EQ(StrArrayGetCount(a), 52);
    EXPECT_STREQ(StrArrayGetAtElement(a, 0), "first");
    EXPECT_STREQ(StrArrayGetAtElement(a, 1), "");
    EXPECT_STREQ(StrArrayGetAtElement(a, 51), "49");
    ArrayFree(a);
}

TEST(StrArrayAccess, BoundsAndNull)
{
    StrArray *a = Explode("a,b,c", ',');
    EXPECT_STREQ(StrArrayGetAtElement(a, 2), "c");
    EXPECT_EQ(StrArrayGetAtElement(a, 3), nullptr);
    EXPECT_EQ(StrArrayGetAtElement(a, -1), nullptr);
    EXPECT_EQ(StrArrayGetAtElement(nullptr, 0), nullptr);
    EXPECT_EQ(StrArrayGetCount(nullptr), 0);
    EXPECT_EQ(ArrayFree(nullptr), 0);
    ArrayFree(a);
}

TEST(StrArrayAccess, NullElementsAreSkippedByFree)
{
    // A failed element copy leaves a null element; ArrayFree must skip it.
    StrArray *a = ArrayPush(nullptr, "x");
    free(a->elements[0]);
    a->elements[0] = nullptr;
    EXPECT_EQ(StrArrayGetAtElement(a, 0), nullptr);
    EXPECT_EQ(ArrayFree(a), 0);
}

TEST(Allocators, ForwardToTheCLibrary)
{
    char *p = static_cast<char *>(_calloc(4, 4));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p[i], 0);
    p = static_cast<char *>(_realloc(p, 64));
    ASSERT_NE(p, nullptr);
    _free(p);
    char *d = _strdup("copy");
    EXPECT_STREQ(d, "copy");
    free(d);
}

TEST(CaseRing, ConvertsOnlyAsciiLetters)
{
    const char *mixed = "aZ09-_{}\x80\xe9zA";
    char before[32];
    strcpy(before, mixed);
    EXPECT_STREQ(strupr(mixed), "AZ09-_{}\x80\xe9ZA");
    EXPECT_STREQ(strlwr(mixed), "az09-_{}\x80\xe9za");
    EXPECT_STREQ(strmklu("abc", 0x100), "abc");  // flag's low 8 bits are zero: lower case
    EXPECT_STREQ(strmklu("abc", 0x101), "ABC");
    EXPECT_STREQ(mixed, before);
    EXPECT_STREQ(strupr(""), "");
}

TEST(CaseRing, TenSlotsThenReuse)
{
    char *slots[11];
    for (int i = 0; i < 10; ++i)
        slots[i] = strupr(("text" + std::to_string(i)).c_str());
    for (int i = 0; i < 10; ++i) {
        EXPECT_STREQ(slots[i], ("TEXT" + std::to_string(i)).c_str());
        for (int j = 0; j < i; ++j)
            EXPECT_NE(slots[i], slots[j]);
        EXPECT_GE(slots[i], mTmpOut);
        EXPECT_LT(slots[i], mTmpOut + sizeof mTmpOut);
        EXPECT_EQ((slots[i] - mTmpOut) % 200, 0);
    }
    slots[10] = strlwr("ELEVEN");
    EXPECT_EQ(slots[10], slots[0]);
    EXPECT_STREQ(slots[0], "eleven");
}

TEST(CaseRing, LongTextStaysInsideItsSlot)
{
    std::string longText(500, 'q');
    char *r = strupr(longText.c_str());
    EXPECT_EQ(strlen(r), 199u);
    EXPECT_EQ(std::string(r), std::string(199, 'Q'));
    char *next = strupr("n");
    EXPECT_STREQ(next, "N");
    EXPECT_EQ(strlen(r), 199u);  // the neighbour slot did not overwrite the terminator
}
