// replies.cpp - what a simulated device answers: Modbus RTU CRC-16, the register table
// functions (0x03, 0x04, 0x06, 0x10), configured replies, exceptions and the faults.
#include "fieldsim.h"

namespace fieldsim
{

uint16_t Crc16(const uint8_t *bytes, size_t count)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

void AppendCrc(std::vector<uint8_t> &frame)
{
    uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
}

bool CrcOk(const std::vector<uint8_t> &frame)
{
    if (frame.size() < 4)
        return false;
    uint16_t crc = Crc16(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

namespace
{

uint16_t Word(const std::vector<uint8_t> &f, size_t at)
{
    return uint16_t(f[at] << 8 | f[at + 1]);
}

std::vector<uint8_t> Exception(uint8_t address, uint8_t fn, uint8_t code)
{
    return {address, uint8_t(fn | 0x80), code};
}

// The correct reply (without CRC) to a good request, or an empty vector for no reply.
// Writes change the register table when `apply` is set.
std::vector<uint8_t> CorrectReply(Device &dev, const std::vector<uint8_t> &f, bool apply)
{
    uint8_t a = f[0], fn = f[1];
    size_t n = f.size() - 2; // without the CRC
    auto configured = dev.replies.find(fn);
    if (configured != dev.replies.end()) {
        std::vector<uint8_t> r{a, fn};
        r.insert(r.end(), configured->second.begin(), configured->second.end());
        return r;
    }
    switch (fn) {
    case 0x03:
    case 0x04: {
        if (n != 6)
            return Exception(a, fn, 0x03);
        unsigned start = Word(f, 2), qty = Word(f, 4);
        if (qty < 1 || qty > 125)
            return Exception(a, fn, 0x03);
        std::vector<uint8_t> r{a, fn, uint8_t(2 * qty)};
        for (unsigned i = 0; i < qty; ++i) {
            auto it = dev.regs.find(uint16_t(start + i));
            uint16_t v = it == dev.regs.end() ? 0 : it->second;
            r.push_back(uint8_t(v >> 8));
            r.push_back(uint8_t(v & 0xFF));
        }
        return r;
    }
    case 0x06:
        if (n != 6)
            return Exception(a, fn, 0x03);
        if (apply)
            dev.regs[Word(f, 2)] = Word(f, 4);
        return std::vector<uint8_t>(f.begin(), f.begin() + 6);
    case 0x10: {
        if (n < 7)
            return Exception(a, fn, 0x03);
        unsigned start = Word(f, 2), qty = Word(f, 4), count = f[6];
        if (qty < 1 || qty > 123 || count != 2 * qty || n != 7 + count)
            return Exception(a, fn, 0x03);
        if (apply)
            for (unsigned i = 0; i < qty; ++i)
                dev.regs[uint16_t(start + i)] = Word(f, 7 + 2 * i);
        return std::vector<uint8_t>(f.begin(), f.begin() + 6);
    }
    default:
        if (fn >= 0x80)
            return {};
        return Exception(a, fn, 0x01);
    }
}

std::vector<uint8_t> NoiseBytes(int count, uint8_t address)
{
    static const uint8_t cycle[] = {0x00, 0xFF, 0x55, 0xAA, 0x0F, 0xF0, 0x33, 0xCC};
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        uint8_t b = cycle[size_t(i) % sizeof cycle];
        out.push_back(b == address ? uint8_t(b ^ 0x80) : b);
    }
    return out;
}

} // namespace

void ApplyBroadcast(Description &d, const std::vector<uint8_t> &frame)
{
    for (auto &dev : d.devices)
        if (frame[1] == 0x06 || frame[1] == 0x10)
            CorrectReply(dev, frame, true);
}

std::vector<TxRun> AnswerRequest(Device &dev, const std::vector<uint8_t> &frame,
                                 const LineConfig &line, std::string &rxNote)
{
    rxNote = "ignored";
    ++dev.requests;
    if (dev.requests <= dev.misses || dev.fault == Fault::Silent)
        return {};
    if (dev.answers >= 0 && dev.answered >= dev.answers)
        return {};
    std::vector<uint8_t> reply = CorrectReply(dev, frame, true);
    if (reply.empty())
        return {};
    ++dev.answered;
    rxNote = "reply";

    std::vector<TxRun> runs;
    TxRun own;
    own.note = FaultName(dev.fault);
    switch (dev.fault) {
    case Fault::Exception:
        reply = Exception(reply[0], frame[1], uint8_t(dev.faultArg < 0 ? 2 : dev.faultArg));
        AppendCrc(reply);
        break;
    case Fault::BadCrc:
        AppendCrc(reply);
        reply.back() ^= 0xFF;
        break;
    case Fault::Partial: {
        AppendCrc(reply);
        size_t keep = dev.faultArg < 0 ? 5 : size_t(dev.faultArg);
        if (keep >= reply.size())
            keep = reply.size() - 1;
        reply.resize(keep);
        break;
    }
    case Fault::Noise: {
        AppendCrc(reply);
        TxRun noise;
        noise.bytes = NoiseBytes(dev.faultArg < 0 ? 4 : dev.faultArg, reply[0]);
        noise.note = "noisebytes";
        if (!noise.bytes.empty())
            runs.push_back(noise);
        break;
    }
    case Fault::Slow:
        AppendCrc(reply);
        own.byteGap = (dev.faultArg < 0 ? 250 : dev.faultArg) / 1000.0;
        break;
    case Fault::Other: {
        TxRun other;
        other.bytes = reply;
        other.bytes[0] = uint8_t(dev.faultArg < 0 ? (dev.address % 255) + 1 : dev.faultArg);
        AppendCrc(other.bytes);
        other.note = "foreign";
        runs.push_back(other);
        own.silence = FrameGap(line);
        AppendCrc(reply);
        break;
    }
    default:
        AppendCrc(reply);
        break;
    }
    own.bytes = reply;
    if (!own.bytes.empty())
        runs.push_back(own);
    return runs;
}

} // namespace fieldsim
