// fieldsim.h - the field-device simulator's parts: the line description (line settings and
// the devices played), the Modbus RTU replies with their faults, and the byte pacing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fieldsim
{

enum class Fault { None, Silent, BadCrc, Exception, Partial, Noise, Slow, Other };

struct LineConfig {
    int speed = 9600;  // bit/s
    int dataBits = 8;  // 5..8
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;  // 1 or 2
};

struct Device {
    int address = 0;
    int latencyMs = 10;
    Fault fault = Fault::None;
    int faultArg = -1; // -1: the fault's default
    int misses = 0;    // first requests ignored
    int answers = -1;  // requests answered at most (-1: no limit)
    std::map<uint16_t, uint16_t> regs;
    std::map<int, std::vector<uint8_t>> replies; // function code -> reply body
    // Run-time counters.
    int requests = 0;
    int answered = 0;
};

struct Description {
    LineConfig line;
    std::vector<Device> devices;
};

// "8N1", "7E2", ...; false on a malformed text.
bool ParseFraming(const std::string &text, LineConfig &line);
// Parses the description text; on failure error holds "NAME:LINE: reason".
bool ParseDescription(const std::string &text, const std::string &name, Description &out,
                      std::string &error);
Device *FindDevice(Description &d, int address);
const char *FaultName(Fault fault);

// Character time and frame-end silence of the line, in seconds.
double CharTime(const LineConfig &line);
double FrameGap(const LineConfig &line);

uint16_t Crc16(const uint8_t *bytes, size_t count);
void AppendCrc(std::vector<uint8_t> &frame);
bool CrcOk(const std::vector<uint8_t> &frame); // at least 4 bytes and a matching CRC

// One run of bytes on the line: it starts `silence` seconds after the previous run (or the
// reply's start) and leaves `byteGap` seconds after each of its bytes.
struct TxRun {
    std::vector<uint8_t> bytes;
    double silence = 0;
    double byteGap = 0;
    std::string note;
};

// What the device does with a good frame addressed to it (CRC checked by the caller):
// updates its counters and registers and returns the runs to send (none: no answer).
// rxNote receives the log note of the request ("reply" or "ignored").
std::vector<TxRun> AnswerRequest(Device &dev, const std::vector<uint8_t> &frame,
                                 const LineConfig &line, std::string &rxNote);
// A broadcast (address 0): writes are applied to every device, nobody answers.
void ApplyBroadcast(Description &d, const std::vector<uint8_t> &frame);

} // namespace fieldsim
