// uartemu_trace.cpp - parser of the UART emulation's trace and the launch helper for
// programs that run with the emulation preloaded.
#include "uartemu_trace.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace uartemu {

namespace {
bool ParseInt(const std::string &text, int64_t *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (!end || *end)
        return false;
    *out = v;
    return true;
}

std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? v : "";
}
} // namespace

bool Record::Has(const std::string &key) const { return fields.count(key) != 0; }

std::string Record::Str(const std::string &key) const
{
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

int64_t Record::Int(const std::string &key, int64_t fallback) const
{
    int64_t v;
    return ParseInt(Str(key), &v) ? v : fallback;
}

double Record::Real(const std::string &key, double fallback) const
{
    std::string text = Str(key);
    if (text.empty())
        return fallback;
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    return end && !*end ? v : fallback;
}

std::vector<uint8_t> Record::Bytes(const std::string &key) const
{
    std::string hex = Str(key);
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<Record> Parse(const std::string &text)
{
    std::vector<Record> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string t, pid, fd, event;
        if (!(words >> t >> pid >> fd >> event))
            continue;
        Record r;
        int64_t v;
        if (!ParseInt(t, &r.t) || !ParseInt(pid, &v))
            continue;
        r.pid = int(v);
        r.fd = ParseInt(fd, &v) ? int(v) : -1;
        r.event = event;
        std::string field;
        while (words >> field) {
            size_t eq = field.find('=');
            if (eq == std::string::npos)
                r.fields[field] = "";
            else
                r.fields[field.substr(0, eq)] = field.substr(eq + 1);
        }
        out.push_back(std::move(r));
    }
    // An lsr record is written when its wait ends but carries the time of its first poll;
    // several processes may share one file.
    std::stable_sort(out.begin(), out.end(),
                     [](const Record &a, const Record &b) { return a.t < b.t; });
    return out;
}

std::vector<Record> ReadTrace(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

std::vector<Record> Select(const std::vector<Record> &trace, const std::string &event, int pid)
{
    std::vector<Record> out;
    for (const auto &r : trace)
        if ((event.empty() || r.event == event) && (pid <= 0 || r.pid == pid))
            out.push_back(r);
    return out;
}

std::vector<std::string> Sequence(const std::vector<Record> &trace,
                                  const std::vector<std::string> &kinds, int pid)
{
    std::vector<std::string> out;
    for (const auto &r : trace) {
        if (pid > 0 && r.pid != pid)
            continue;
        bool wanted = false;
        for (const auto &k : kinds)
            wanted = wanted || k == r.event;
        if (!wanted)
            continue;
        if (r.event == "dtr" || r.event == "rts" || r.event == "loop")
            out.push_back(r.event + (r.Int("v", 0) ? "+" : "-"));
        else
            out.push_back(r.event);
    }
    return out;
}

std::string Join(const std::vector<std::string> &items, const std::string &sep)
{
    std::string out;
    for (size_t i = 0; i < items.size(); ++i)
        out += (i ? sep : "") + items[i];
    return out;
}

int64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string Library()
{
    std::string lib = Env("QM_UARTEMU");
    if (!lib.empty())
        return lib;
    std::string bin = Env("QM_BIN_DIR");
    return (bin.empty() ? std::string(".") : bin) + "/libuartemu.so";
}

void PreloadCommand(std::vector<std::string> &argv, std::vector<std::string> &env)
{
    std::string preload = "LD_PRELOAD=" + Library();
    for (auto e = env.begin(); e != env.end(); ++e)
        if (e->rfind("LD_PRELOAD=", 0) == 0) {
            preload += ":" + e->substr(11);
            env.erase(e);
            break;
        }
    if (!Env("QM_EMULATOR").empty()) {
        argv.insert(argv.begin(), {"-E", preload});
        return;
    }
    env.push_back(preload);
    if (Env("QM_SANITIZE").empty())
        return;
    for (auto &e : env)
        if (e.rfind("ASAN_OPTIONS=", 0) == 0) {
            e += ":verify_asan_link_order=0";
            return;
        }
    std::string inherited = Env("ASAN_OPTIONS");
    env.push_back("ASAN_OPTIONS=" + (inherited.empty() ? "" : inherited + ":") +
                  "verify_asan_link_order=0");
}

} // namespace uartemu
