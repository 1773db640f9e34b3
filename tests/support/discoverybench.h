// discoverybench.h - a bench line for the discovery tests: the device simulator on its own pty
// pair, the line's record in the sandbox's line database, and qmveskar run (or started in
// the background) with the UART emulation preloaded.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "benchline.h"
#include "testsupport.h"

namespace disc {

struct LineRow {
    int id = 1;
    std::string tty;
    std::string speed = "9600", parity = "0", dataBits = "8", stopBits = "1";
    std::string dtrLead = "0", dtrTail = "0", rxTimeout = "100", reserved = "0";
    std::string postRx = "0", preTx = "0";
};

// A simulated line (the bench line's simulator, and a third-party slave behind its relay
// when peer is "pymodbus" or "libmodbus") with its record written from row.
struct Sim {
    benchline::Line line;
    std::string tty;  // "pts/N", as the line record names it
    std::string log;  // the simulator's frame log
};
Sim StartSim(const std::string &description, const LineRow &row = {}, const std::string &peer = "");
void StopSim(Sim &sim);

// Adds (or replaces) a record of the line database /etc/quor/db/sysconfig/quorLan.db.
void AddLine(const LineRow &row);
void WriteModelFile(const std::string &name, const std::string &content);  // db/devices/

struct Started {
    pid_t pid = -1;
    std::string outFile, errFile;
};

// qmveskar with the UART emulation; trace and control file paths may be "".
Started StartQmveskar(const std::vector<std::string> &args, const std::string &trace = "",
                      const std::string &ctl = "", const std::vector<std::string> &env = {});
qmtest::ProcResult Wait(Started &started, int timeoutSeconds = 120);
qmtest::ProcResult RunQmveskarOnBench(const std::vector<std::string> &args,
                                      const std::string &trace = "", const std::string &ctl = "",
                                      const std::vector<std::string> &env = {},
                                      int timeoutSeconds = 120);

// Programs started in the background (run.h).
using qmtest::Spawn;

// The report line of the reference controller (registers 01 23 / 41 42 1E E3 / 01 07).
std::string ReferenceLine(int lineId, int address);
extern const char *const kReferenceDevice;  // description lines of it, without "device"

} // namespace disc
