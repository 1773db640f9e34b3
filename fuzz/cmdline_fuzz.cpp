// cmdline_fuzz.cpp - ParseArguments on an arbitrary argument vector (the input split at NUL
// bytes, after a fixed program name). A hand-over gives the line list of the first argument
// and a plan whose slots are unplanned or hold their own index, never slot 0: in list mode
// the planned addresses of the second argument with its element count as the total, in
// range mode the slots first..last and their count. Any other result leaves no line list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery.h"
#include "reference.h"

namespace {

std::vector<std::string> Split(const std::string &text)
{
    std::vector<std::string> parts(1);
    for (char c : text)
        if (c == ',')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    return parts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;  // the error codes
    (void)quiet;
    std::vector<std::string> args{"qmveskar"};
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t at = 0; size > 0 && at <= size && args.size() < 16;) {
        size_t end = std::min(text.find('\0', at), size);
        args.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(strdup(a.c_str()));
    argv.push_back(nullptr);
    const int argc = int(args.size());

    for (uint16_t &slot : ScanPlan)
        slot = 0x1234;
    PlannedTotal = DoneCount = -77;
    DebugFlag = false;
    StrArray *lines = reinterpret_cast<StrArray *>(&lines);
    int status = ParseArguments(argc, argv.data(), &lines);
    if (status != kHandOver) {
        Require(lines == nullptr && (status == 0 || status == 1));
    } else {
        Require(argc >= 3 && lines && DoneCount == 0);
        Require(StrArrayGetCount(lines) == int(Split(args[1]).size()));
        bool debug = false;
        for (int i = 1; i < argc; ++i)
            debug = debug || args[size_t(i)] == "-d";
        Require(DebugFlag == debug);
        bool want[256] = {};
        std::vector<std::string> list = Split(args[2]);
        int32_t total = int32_t(list.size());
        if (list.size() >= 2) {
            for (const std::string &element : list)
                if (int32_t v = ReferenceInt32(element.c_str()); v >= 1 && v <= 255)
                    want[v] = true;
        } else {
            int32_t first = ReferenceInt32(args[2].c_str()), last = ReferenceInt32(args[3].c_str());
            Require(first >= 1 && last <= 255 && first <= last);
            total = last - first + 1;
            for (int32_t a = first; a <= last; ++a)
                want[a] = true;
        }
        int planned = 0;
        for (int slot = 0; slot < 256; ++slot) {
            Require(ScanPlan[slot] == (want[slot] ? slot : kNotPlanned));
            planned += want[slot];
        }
        Require(PlannedTotal == total && planned <= total && !want[0]);
        ArrayFree(lines);
    }
    for (char *a : argv)
        free(a);
    return 0;
}
