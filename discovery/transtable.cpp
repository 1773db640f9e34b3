// transtable.cpp - the model translation table: rules read from transtable.models that
// replace the model text and identification words of matching devices.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "discovery.h"
#include "internal.h"

TransTable TransRules = {nullptr, 0};

namespace {

const char *const TransTableFile = "/etc/quor/db/devices/transtable.models";

constexpr int kTokenCount = 8;
constexpr size_t kTokenMax = 19;  // longest token a line may hold
constexpr size_t kLineBuffer = 1024;

bool IsWildcard(const char *token) { return token[0] == '*'; }

// A hexadecimal token reduced to 16 bits; a token that does not parse reads as 0.
uint16_t HexWord(const char *token)
{
    return static_cast<uint16_t>(strtoull(token, nullptr, 16));
}

// Splits line at blanks into exactly eight tokens of at most 19 characters each,
// copied into tokens. Fewer or more tokens, or a longer token, reject the line.
bool SplitLine(const char *line, char tokens[kTokenCount][kTokenMax + 1])
{
    int n = 0;
    const char *p = line;
    for (;;) {
        while (*p && isspace(static_cast<unsigned char>(*p)))
            ++p;
        if (!*p)
            break;
        const char *start = p;
        while (*p && !isspace(static_cast<unsigned char>(*p)))
            ++p;
        size_t len = static_cast<size_t>(p - start);
        if (n == kTokenCount || len > kTokenMax)
            return false;
        memcpy(tokens[n], start, len);
        tokens[n][len] = '\0';
        ++n;
    }
    return n == kTokenCount;
}

// Fills a zeroed rule from the eight tokens of a table line.
void FillRule(TransRule *rule, char tokens[kTokenCount][kTokenMax + 1])
{
    const char *hex = tokens[0];
    if (!IsWildcard(hex)) {
        size_t pairs = strlen(hex) / 2;  // a last odd digit is ignored
        if (pairs > sizeof rule->bytes)
            pairs = sizeof rule->bytes;
        HexPairsToBytes(hex, pairs, rule->bytes);
        rule->byteCount = static_cast<uint8_t>(pairs);
        rule->flags |= 0x01;
    }

    uint16_t *match[3] = {&rule->matchWord1, &rule->matchWord2, &rule->matchWord3};
    for (int i = 0; i < 3; ++i) {
        const char *token = tokens[1 + i];
        if (IsWildcard(token)) {
            *match[i] = 0xFFFF;
        } else {
            *match[i] = HexWord(token);
            rule->flags |= static_cast<uint8_t>(0x02 << i);
        }
    }

    if (!IsWildcard(tokens[4]))
        strncpy(rule->modelName, tokens[4], sizeof rule->modelName - 1);

    uint16_t *out[3] = {&rule->outWord1, &rule->outWord2, &rule->outWord3};
    for (int i = 0; i < 3; ++i) {
        const char *token = tokens[5 + i];
        *out[i] = IsWildcard(token) ? 0xFFFF : HexWord(token);
    }
}

// Appends a rule built from one line; when no memory is left the line is dropped.
void AddRule(char tokens[kTokenCount][kTokenMax + 1])
{
    TransRule *rule = static_cast<TransRule *>(calloc(1, sizeof(TransRule)));
    if (!rule)
        return;
    FillRule(rule, tokens);
    size_t size = (static_cast<size_t>(TransRules.count) + 1) * sizeof(TransRule *);
    TransRule **grown = static_cast<TransRule **>(realloc(TransRules.rules, size));
    if (!grown) {
        free(rule);
        return;
    }
    grown[TransRules.count] = rule;
    TransRules.rules = grown;
    TransRules.count++;
}

// Reads one line (without its LF) into buf. A line that does not fit the buffer is read
// to its end and reported as too long, so that its tail never passes for a line.
bool ReadLine(FILE *f, char *buf, size_t size, bool *tooLong)
{
    *tooLong = false;
    size_t len = 0;
    int c = getc(f);
    if (c == EOF)
        return false;
    for (; c != EOF && c != '\n'; c = getc(f)) {
        if (len + 1 < size)
            buf[len++] = static_cast<char>(c);
        else
            *tooLong = true;
    }
    buf[len] = '\0';
    return true;
}

} // namespace

void LoadTransTable()
{
    if (TransRules.rules)
        return;  // built once per run
    FILE *f = fopen(TransTableFile, "re");
    if (!f)
        return;
    FileCloser closer{f};

    char *line = static_cast<char *>(calloc(1, kLineBuffer));
    if (!line)
        return;
    char tokens[kTokenCount][kTokenMax + 1];
    bool tooLong = false;
    while (ReadLine(f, line, kLineBuffer, &tooLong)) {
        if (!tooLong && line[0] != '#' && line[0] != ';' && SplitLine(line, tokens))
            AddRule(tokens);
        memset(line, 0, kLineBuffer);
    }
    free(line);
}

const TransRule *MatchTransRule(const uint8_t *ruleBytes, uint16_t word1, uint16_t word2,
                                uint16_t word3)
{
    for (int i = 0; i < TransRules.count; ++i) {
        const TransRule *rule = TransRules.rules[i];
        if (!rule || rule->flags == 0)
            continue;
        uint8_t result = 0;
        size_t count = rule->byteCount;
        if (count > sizeof rule->bytes)
            count = sizeof rule->bytes;
        if (count != 0 && ruleBytes && memcmp(rule->bytes, ruleBytes, count) == 0)
            result |= 0x01;
        if (rule->matchWord1 != 0xFFFF && rule->matchWord1 == word1)
            result |= 0x02;
        if (rule->matchWord2 != 0xFFFF && rule->matchWord2 == word2)
            result |= 0x04;
        if (rule->matchWord3 != 0xFFFF && rule->matchWord3 == word3)
            result |= 0x08;
        if (result != 0 && result == rule->flags)
            return rule;
    }
    return nullptr;
}
