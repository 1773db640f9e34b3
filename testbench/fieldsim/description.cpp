// description.cpp - parser of the simulator's line description (format in README.md) and
// the line's character timing.
#include "fieldsim.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace fieldsim
{

namespace
{

bool Number(const std::string &w, long lo, long hi, long &value)
{
    if (w.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(w.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

bool HexByte(const std::string &w, uint8_t &b)
{
    if (w.empty() || w.size() > 2)
        return false;
    char *end = nullptr;
    long v = strtol(w.c_str(), &end, 16);
    if (*end || v < 0 || v > 255)
        return false;
    b = uint8_t(v);
    return true;
}

bool HexBytes(const std::vector<std::string> &w, size_t from, std::vector<uint8_t> &out)
{
    out.clear();
    for (size_t i = from; i < w.size(); ++i) {
        uint8_t b;
        if (!HexByte(w[i], b))
            return false;
        out.push_back(b);
    }
    return true;
}

struct FaultWord {
    const char *name;
    Fault fault;
};
const FaultWord kFaults[] = {{"none", Fault::None},       {"silent", Fault::Silent},
                             {"badcrc", Fault::BadCrc},   {"exception", Fault::Exception},
                             {"partial", Fault::Partial}, {"noise", Fault::Noise},
                             {"slow", Fault::Slow},       {"other", Fault::Other}};

using Words = std::vector<std::string>;

// The words of one line of the description, without its comment.
Words SplitWords(std::string raw)
{
    size_t hash = raw.find('#');
    if (hash != std::string::npos)
        raw.erase(hash);
    std::istringstream words(raw);
    Words w;
    for (std::string x; words >> x;)
        w.push_back(x);
    return w;
}

// Each statement's reader returns "" for a right line, else what is wrong with it.
std::string LineStatement(const Words &w, LineConfig &line)
{
    long v = 0;
    if (w.size() != 3 || !Number(w[1], 50, 4000000, v) || !ParseFraming(w[2], line))
        return "expected: line SPEED FRAMING (e.g. line 9600 8N1)";
    line.speed = int(v);
    return "";
}

// "device ADDR" or "linetest [ADDR [HEX...]]": the start of a device's block.
std::string DeviceStatement(const Words &w, Description &out)
{
    bool lineTest = w[0] == "linetest";
    long address = lineTest ? 249 : -1;
    if (w.size() >= 2 && !Number(w[1], 1, 255, address))
        return "address must be 1..255";
    if (address < 0 || (!lineTest && w.size() != 2))
        return "expected: device ADDR";
    if (FindDevice(out, int(address)))
        return "address " + std::to_string(address) + " described twice";
    Device d;
    d.address = int(address);
    if (lineTest) {
        std::vector<uint8_t> body{0x02, 0x00, 0x01};
        if (w.size() > 2 && !HexBytes(w, 2, body))
            return "expected: linetest [ADDR [HEX...]]";
        d.replies[0xFD] = body;
    }
    out.devices.push_back(d);
    return "";
}

std::string RegStatement(const Words &w, Device &dev)
{
    long start = 0, v = 0;
    if (w.size() < 3 || !Number(w[1], 0, 65535, start))
        return "expected: reg START V1 [V2 ...]";
    for (size_t i = 2; i < w.size(); ++i) {
        if (!Number(w[i], 0, 65535, v) || start + long(i) - 2 > 65535)
            return "register value must be 0..65535 (0x0000..0xFFFF)";
        dev.regs[uint16_t(start + long(i) - 2)] = uint16_t(v);
    }
    return "";
}

std::string FaultStatement(const Words &w, Device &dev)
{
    bool known = false;
    for (const auto &f : kFaults)
        if (w.size() >= 2 && w[1] == f.name) {
            dev.fault = f.fault;
            known = true;
        }
    if (!known)
        return "unknown fault (none silent badcrc exception partial noise slow other)";
    dev.faultArg = -1;
    bool takesArg =
        dev.fault != Fault::None && dev.fault != Fault::Silent && dev.fault != Fault::BadCrc;
    if (w.size() > 3 || (w.size() == 3 && !takesArg))
        return "too many words after fault " + w[1];
    if (w.size() == 3) {
        long v = 0, hi = dev.fault == Fault::Exception || dev.fault == Fault::Other ? 255 : 1000000;
        if (!Number(w[2], 0, hi, v))
            return "bad argument of fault " + w[1];
        dev.faultArg = int(v);
    }
    return "";
}

// The other statements of a device's block: latency, misses, answers and reply.
std::string SettingStatement(const Words &w, Device &dev)
{
    const std::string &k = w[0];
    long v = 0;
    uint8_t fn = 0;
    std::vector<uint8_t> body;
    if (k == "latency") {
        if (w.size() != 2 || !Number(w[1], 0, 600000, v))
            return "expected: latency MS";
        dev.latencyMs = int(v);
    } else if (k == "misses" || k == "answers") {
        if (w.size() != 2 || !Number(w[1], 0, 1000000000, v))
            return "expected: " + k + " N";
        (k == "misses" ? dev.misses : dev.answers) = int(v);
    } else if (k == "reply") {
        if (w.size() < 2 || !HexByte(w[1], fn) || !HexBytes(w, 2, body))
            return "expected: reply FN HEX...";
        dev.replies[fn] = body;
    } else {
        return "unknown statement '" + k + "'";
    }
    return "";
}

std::string Statement(const Words &w, Description &out)
{
    // The block being filled is the last device described.
    Device *dev = out.devices.empty() ? nullptr : &out.devices.back();
    if (w[0] == "line")
        return LineStatement(w, out.line);
    if (w[0] == "device" || w[0] == "linetest")
        return DeviceStatement(w, out);
    if (!dev)
        return "'" + w[0] + "' outside a device block";
    if (w[0] == "reg")
        return RegStatement(w, *dev);
    if (w[0] == "fault")
        return FaultStatement(w, *dev);
    return SettingStatement(w, *dev);
}

} // namespace

const char *FaultName(Fault fault)
{
    for (const auto &f : kFaults)
        if (f.fault == fault)
            return f.name;
    return "?";
}

bool ParseFraming(const std::string &t, LineConfig &line)
{
    if (t.size() != 3 || t[0] < '5' || t[0] > '8' || (t[2] != '1' && t[2] != '2'))
        return false;
    char p = char(toupper(static_cast<unsigned char>(t[1])));
    if (p != 'N' && p != 'E' && p != 'O')
        return false;
    line.dataBits = t[0] - '0';
    line.parity = p;
    line.stopBits = t[2] - '0';
    return true;
}

double CharTime(const LineConfig &line)
{
    int bits = 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
    return double(bits) / double(line.speed);
}

double FrameGap(const LineConfig &line)
{
    // Above 19200 bit/s the frame-end silence is fixed at 1.75 ms.
    return line.speed > 19200 ? 0.00175 : 3.5 * CharTime(line);
}

Device *FindDevice(Description &d, int address)
{
    for (auto &dev : d.devices)
        if (dev.address == address)
            return &dev;
    return nullptr;
}

bool ParseDescription(const std::string &text, const std::string &name, Description &out,
                      std::string &error)
{
    out = Description{};
    std::istringstream in(text);
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        Words w = SplitWords(raw);
        std::string why = w.empty() ? "" : Statement(w, out);
        if (!why.empty()) {
            error = name + ":" + std::to_string(lineNo) + ": " + why;
            return false;
        }
    }
    return true;
}

} // namespace fieldsim
