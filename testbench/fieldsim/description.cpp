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
    int lineNo = 0;
    Device *dev = nullptr;
    auto fail = [&](const std::string &why) {
        error = name + ":" + std::to_string(lineNo) + ": " + why;
        return false;
    };
    // Devices are kept by value in a vector: the block being filled is referred to by
    // index, so that adding a device never leaves a dangling pointer.
    long current = -1;
    while (std::getline(in, raw)) {
        ++lineNo;
        size_t hash = raw.find('#');
        if (hash != std::string::npos)
            raw.erase(hash);
        std::istringstream words(raw);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        if (w.empty())
            continue;
        dev = current >= 0 ? &out.devices[size_t(current)] : nullptr;
        const std::string &k = w[0];
        long v = 0;
        if (k == "line") {
            if (w.size() != 3 || !Number(w[1], 50, 4000000, v) || !ParseFraming(w[2], out.line))
                return fail("expected: line SPEED FRAMING (e.g. line 9600 8N1)");
            out.line.speed = int(v);
        } else if (k == "device" || k == "linetest") {
            long address = k == "linetest" ? 249 : -1;
            if (w.size() >= 2 && !Number(w[1], 1, 255, address))
                return fail("address must be 1..255");
            if (address < 0 || (k == "device" && w.size() != 2))
                return fail("expected: device ADDR");
            if (FindDevice(out, int(address)))
                return fail("address " + std::to_string(address) + " described twice");
            Device d;
            d.address = int(address);
            if (k == "linetest") {
                std::vector<uint8_t> body{0x02, 0x00, 0x01};
                if (w.size() > 2 && !HexBytes(w, 2, body))
                    return fail("expected: linetest [ADDR [HEX...]]");
                d.replies[0xFD] = body;
            }
            out.devices.push_back(d);
            current = long(out.devices.size()) - 1;
        } else if (!dev) {
            return fail("'" + k + "' outside a device block");
        } else if (k == "reg") {
            long start = 0;
            if (w.size() < 3 || !Number(w[1], 0, 65535, start))
                return fail("expected: reg START V1 [V2 ...]");
            for (size_t i = 2; i < w.size(); ++i) {
                if (!Number(w[i], 0, 65535, v) || start + long(i) - 2 > 65535)
                    return fail("register value must be 0..65535 (0x0000..0xFFFF)");
                dev->regs[uint16_t(start + long(i) - 2)] = uint16_t(v);
            }
        } else if (k == "latency") {
            if (w.size() != 2 || !Number(w[1], 0, 600000, v))
                return fail("expected: latency MS");
            dev->latencyMs = int(v);
        } else if (k == "misses" || k == "answers") {
            if (w.size() != 2 || !Number(w[1], 0, 1000000000, v))
                return fail("expected: " + k + " N");
            (k == "misses" ? dev->misses : dev->answers) = int(v);
        } else if (k == "reply") {
            uint8_t fn = 0;
            std::vector<uint8_t> body;
            if (w.size() < 2 || !HexByte(w[1], fn) || !HexBytes(w, 2, body))
                return fail("expected: reply FN HEX...");
            dev->replies[fn] = body;
        } else if (k == "fault") {
            bool known = false;
            for (const auto &f : kFaults)
                if (w.size() >= 2 && w[1] == f.name) {
                    dev->fault = f.fault;
                    known = true;
                }
            if (!known)
                return fail("unknown fault (none silent badcrc exception partial noise slow "
                            "other)");
            dev->faultArg = -1;
            bool takesArg = dev->fault != Fault::None && dev->fault != Fault::Silent &&
                            dev->fault != Fault::BadCrc;
            if (w.size() > 3 || (w.size() == 3 && !takesArg))
                return fail("too many words after fault " + w[1]);
            if (w.size() == 3) {
                long hi =
                    dev->fault == Fault::Exception || dev->fault == Fault::Other ? 255 : 1000000;
                if (!Number(w[2], 0, hi, v))
                    return fail("bad argument of fault " + w[1]);
                dev->faultArg = int(v);
            }
        } else {
            return fail("unknown statement '" + k + "'");
        }
    }
    return true;
}

} // namespace fieldsim
