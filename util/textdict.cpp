// textdict.cpp - texts looked up by key in the language dictionaries under
// /var/www/html/lang/include/, returned from a ring of twenty heap strings (pDictText).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "qmveskar.h"

extern "C" {
char *pDictText[20];
char mLang[10];
}

namespace {

constexpr uint8_t kRingSlots = 20;
constexpr size_t kLineField = 200;    // a read piece holds at most 198 characters
constexpr size_t kLangField = 50;     // a language name has at most 49 characters
constexpr size_t kPathField = 100;    // a dictionary path has at most 99 characters
constexpr size_t kStoreValue = 150;   // room GetVesconfEntry needs
constexpr char kLangKey[] = "LANGSTR";

uint8_t ringIndex = 0;
uint8_t firstCall = 1;

// The configuration entry "LANGSTR" into lang (kLangField bytes). A value too long for the
// field counts as no language: a cut name would name another language's files.
void StoreLanguage(char *lang)
{
    char value[kStoreValue] = {};
    if (GetVesconfEntry(kLangKey, value) > 0 && strlen(value) < kLangField)
        strcpy(lang, value);
}

// The dictionary file, or null. A path that does not fit its 100-byte field names no file.
FILE *OpenDictionary(const char *section, const char *lang)
{
    char path[kPathField] = {};
    int n = snprintf(path, sizeof path, "/var/www/html/lang/include/%s/jscript/%s.js", section,
                     lang);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return nullptr;
    return fopen(path, "re");
}

// Scans the dictionary for the first complete entry of the key: a line (a piece of at most
// 198 characters) with an "=" and two spaces, the key between the first and the second
// space (spaces only), the value between the first double quote at or after the "=" and the
// next one, both searched in the line as cut at its second space. On a match the value is
// left in line, *value points at it and *length gives its length.
bool FindEntry(FILE *file, const char *key, char (&line)[kLineField], const char **value,
               size_t *length)
{
    for (;;) {
        memset(line, 0, sizeof line);
        if (!fgets(line, kLineField - 1, file))
            return false;
        StripLineEnd(line);
        char *eq = strchr(line, '=');
        char *first = strchr(line, ' ');
        if (!eq || !first)
            continue;
        char *second = strchr(first + 1, ' ');
        if (!second)
            continue;
        *second = '\0';
        if (strcmp(first + 1, key) != 0)
            continue;
        char *opening = strchr(eq, '"');
        if (!opening)
            continue;
        char *closing = strchr(opening + 1, '"');
        if (!closing)
            continue;
        *value = opening + 1;
        *length = static_cast<size_t>(closing - opening - 1);
        return true;
    }
}

// The slot's string after a match: a copy of the value, converted when a character set is
// given and the conversion succeeds; null when the copy cannot be allocated.
char *DictionaryText(const char *value, size_t length, const char *charset)
{
    char *text = static_cast<char *>(calloc(length + 1, 1));
    if (!text)
        return nullptr;
    memcpy(text, value, length);
    if (charset) {
        char *converted;
        if (ConvertCharset(text, length, "UTF8", charset, &converted)) {
            free(text);
            return converted;
        }
        free(converted);
    }
    return text;
}

} // namespace

// The text of the key in the section's dictionary of the current language (the override
// mLang, else "LANGSTR"), converted into charset when one is given; the key itself when the
// language, the file or the entry is missing. The result stays valid for nineteen more calls.
extern "C" char *GetTextDict(const char *key, const char *section, const char *charset)
{
    if (firstCall) {
        for (char *&slot : pDictText)
            slot = nullptr;
        firstCall = 0;
    }
    if (ringIndex >= kRingSlots)
        ringIndex = 0;
    char *&slot = pDictText[ringIndex];
    free(slot);
    slot = nullptr;
    if (!key)
        key = "";

    char lang[kLangField] = {};
    if (mLang[0])
        memcpy(lang, mLang, strnlen(mLang, sizeof mLang - 1));
    else
        StoreLanguage(lang);

    bool found = false;
    if (lang[0] && section) {
        FileCloser dict{OpenDictionary(section, lang)};
        char line[kLineField];
        const char *value;
        size_t length;
        if (dict.file && FindEntry(dict.file, key, line, &value, &length)) {
            fclose(dict.file);
            dict.file = nullptr;
            slot = DictionaryText(value, length, charset);
            found = true;
        }
    }
    if (!found)
        slot = strdup(key);  // the key is never converted

    char *result = slot;
    ringIndex = static_cast<uint8_t>(ringIndex + 1 == kRingSlots ? 0 : ringIndex + 1);
    return result;
}

// Sets the language override from language (its first 9 characters; null ends the
// override) and looks the key up as GetTextDict does.
extern "C" char *GetTextDictLang(const char *key, const char *section, const char *charset,
                                 const char *language)
{
    memset(mLang, 0, sizeof mLang);
    if (language)
        strncpy(mLang, language, sizeof mLang - 1);
    return GetTextDict(key, section, charset);
}

// The text of the key in the "systembin" dictionary of the "LANGSTR" language (mLang is not
// consulted), copied into out; 1 when found, else 0 with a copy of the key in out. out must
// hold a dictionary value (at most 197 characters) or the key, with its terminator.
extern "C" int GetTextAlarmLanguage(const char *key, char *out)
{
    if (!out)
        return 0;
    if (!key)
        key = "";
    char lang[kLangField] = {};
    StoreLanguage(lang);
    if (lang[0]) {
        FileCloser dict{OpenDictionary("systembin", lang)};
        char line[kLineField];
        const char *value;
        size_t length;
        if (dict.file && FindEntry(dict.file, key, line, &value, &length)) {
            memmove(out, value, length);
            out[length] = '\0';
            return 1;
        }
    }
    strcpy(out, key);
    return 0;
}
