// transtable_fuzz.cpp - the model translation table read from an arbitrary transtable.models
// (input after a 16-byte query: mode, nine model-code bytes, three words). The rules are
// those of the lines a reference split accepts (eight blank-separated tokens of at most 19
// characters, no comment, line within the buffer), with their flags, byte counts and
// terminated names; a second load keeps the table; MatchTransRule gives the first rule
// whose every requested test passes, for the fuzzed query and for one built from a rule.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "discovery.h"
#include "reference.h"

namespace {

const char *const kTableFile = "/etc/quor/db/devices/transtable.models";

bool Matches(const TransRule &r, const uint8_t *bytes, const uint16_t w[3])
{
    const uint16_t want[3] = {r.matchWord1, r.matchWord2, r.matchWord3};
    if (r.flags == 0 || ((r.flags & 1) && (!bytes || r.byteCount == 0 ||
                                           memcmp(r.bytes, bytes, r.byteCount) != 0)))
        return false;
    for (int i = 0; i < 3; ++i)
        if ((r.flags & (2 << i)) && (want[i] == 0xFFFF || want[i] != w[i]))
            return false;
    return true;
}

void CheckMatch(const uint8_t *bytes, const uint16_t w[3])
{
    const TransRule *expected = nullptr;
    for (int i = 0; i < TransRules.count && !expected; ++i)
        if (Matches(*TransRules.rules[i], bytes, w))
            expected = TransRules.rules[i];
    Require(MatchTransRule(bytes, w[0], w[1], w[2]) == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 16)
        return 0;
    const std::string_view file(reinterpret_cast<const char *>(data + 16), size - 16);
    // One descriptor for the whole run, rewritten in place: far cheaper than a new file.
    static int fd = open(kTableFile, O_WRONLY | O_CREAT, 0644);
    if (fd < 0 || pwrite(fd, file.data(), file.size(), 0) != ssize_t(file.size()) ||
        ftruncate(fd, off_t(file.size())) != 0)
        abort();

    // The rules to expect: flags, byte count and name of each line the reference accepts.
    struct Expected { uint8_t flags; size_t pairs; std::string_view name; };
    std::vector<Expected> accepted;
    std::string_view rest = file;
    while (!rest.empty()) {
        size_t eol = std::min(rest.find('\n'), rest.size());
        std::string_view raw = rest.substr(0, eol), line = raw.substr(0, raw.find('\0'));
        rest.remove_prefix(std::min(eol + 1, rest.size()));
        if (raw.size() > 1023 || raw[0] == '#' || raw[0] == ';')
            continue;
        std::string_view t[9];
        size_t n = 0, at = 0;
        bool fits = true;
        while (n < 9) {
            while (at < line.size() && isspace(static_cast<unsigned char>(line[at])))
                ++at;
            size_t from = at;
            while (at < line.size() && !isspace(static_cast<unsigned char>(line[at])))
                ++at;
            if (at == from)
                break;
            t[n++] = line.substr(from, at - from);
            fits = fits && at - from <= 19;
        }
        if (!fits || n != 8)
            continue;
        Expected e{uint8_t(t[0][0] != '*'), 0, t[4][0] == '*' ? "" : t[4].substr(0, 9)};
        for (int k = 0; k < 3; ++k)
            e.flags |= uint8_t((t[1 + k][0] != '*') << (k + 1));
        e.pairs = t[0][0] == '*' ? 0 : std::min<size_t>(t[0].size() / 2, 9);
        accepted.push_back(e);
    }

    LoadTransTable();
    TransRule **rules = TransRules.rules;
    Require(TransRules.count == int(accepted.size()) && (rules != nullptr) == !accepted.empty());
    for (int i = 0; i < TransRules.count; ++i) {
        const TransRule &r = *rules[i];
        const Expected &e = accepted[size_t(i)];
        Require(r.flags == e.flags && r.byteCount == e.pairs);
        Require(memchr(r.modelName, 0, sizeof r.modelName) && e.name == r.modelName);
    }
    LoadTransTable();  // built once per run: a second call changes nothing
    Require(TransRules.rules == rules && TransRules.count == int(accepted.size()));

    const uint8_t mode = data[0];
    uint16_t w[3];
    for (int k = 0; k < 3; ++k)
        w[k] = uint16_t(data[10 + 2 * k] | data[11 + 2 * k] << 8);
    CheckMatch((mode & 1) ? nullptr : data + 1, w);
    if (TransRules.count > 0) {
        const TransRule &r = *rules[(mode >> 1) % TransRules.count];
        const uint16_t own[3] = {r.matchWord1, r.matchWord2, r.matchWord3};
        CheckMatch(r.bytes, own);
    }

    for (int i = 0; i < TransRules.count; ++i)
        free(rules[i]);
    free(rules);
    TransRules = {nullptr, 0};
    return 0;
}
