// benchline.h - a bench line in one call: a field-device simulator (or a third-party slave
// behind its relay) on its own pty pair, the line's record in the line database, and the
// environment that runs a program on the line with the UART emulation. Used by the tests
// and by the qmbenchline command (README.md).
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace benchline
{

struct Config {
    std::string description; // simulator description (README of qmfieldsim); "" = no devices
    int lineId = 1;
    // Line settings: the simulator's pacing and the record's fields 2..5.
    int speed = 9600;
    int parity = 0; // 0 none, 1 odd, other even (as in the record)
    int dataBits = 8;
    int stopBits = 1;
    // Record fields 6..11 (milliseconds; reserved is field 9).
    int dtrLeadMs = 0, dtrTailMs = 0, rxTimeoutMs = 100, reserved = 0, postRxMs = 0, preTxMs = 0;
    std::map<int, std::string> fieldText; // record fields 1..11 given verbatim, by index
    bool writeRecord = true;
    std::string dbPath = "/etc/quor/db/sysconfig/quorLan.db";
    bool allowSystemPaths = false; // write under /etc/quor outside the test sandbox
    // UART emulation of the program run on the line.
    bool emulation = true;
    bool echo = false;
    std::string uartCtl; // first contents of the emulation's control file ("": none)
    // Third-party slave behind the simulator's relay: "", "pymodbus" or "libmodbus".
    std::string peer;
    int peerAddress = 17;
    std::string link; // optional symbolic link under /dev/ to the line's tty
    std::string dir;  // where the line's files go; "": a new directory under /tmp
    bool keepFiles = false;
};

struct Line {
    Config config;
    std::string dir;     // the line's files: line.desc, sim.log, sim.err, uart.trace, uart.ctl
    std::string ttyPath; // "/dev/pts/N" (or the link)
    std::string ttyName; // the record's field 1: ttyPath without "/dev/"
    std::string simLog, simErr, trace, ctl, peerPath, peerLog;
    pid_t simPid = -1, peerPid = -1;
    // Exit status of the simulator and peer after Down (0: stopped cleanly by SIGTERM;
    // 128 + signal when killed; -1 when not run). A sanitizer finding makes it non-zero.
    int simExit = -1, peerExit = -1;
    bool recordWritten = false, ownDir = false;
};

// Brings the line up; false with a reason in error (everything started is torn down).
bool Up(Line &line, const Config &config, std::string &error);
// Stops the simulator and peer by process id, removes the record and (unless kept) the files.
void Down(Line &line);
// Writes (replaces) the line's record; also usable for extra records of a test.
bool WriteRecord(const std::string &dbPath, int id, const std::vector<std::string> &fields,
                 std::string &error);
bool DeleteRecord(const std::string &dbPath, int id);
// Record fields 1..11 of the line as texts (index 0 of the result is field 1).
std::vector<std::string> RecordFields(const Line &line);

// "NAME=value" entries for a program run on the line: the emulation (LD_PRELOAD on x86-64,
// QEMU_SET_ENV for a program run under qemu-i386), its trace, control file and echo, and
// QM_BENCH_TTY, QM_BENCH_LINE, QM_BENCH_DIR, QM_BENCH_SIMLOG. For qmtest::Run, which puts the
// emulator in front itself.
std::vector<std::string> Env(const Line &line);
// Runs argv (a program name is looked up in the build dir, then PATH) on the line with
// inherited standard streams, under the emulator when it is a 32-bit program and the build
// has one. Waits at most timeoutSeconds (0: no limit; then SIGKILL, result -1). Result: exit
// status, or 128 + signal number.
int Exec(const Line &line, const std::vector<std::string> &argv, int timeoutSeconds = 0);

// Build locations, from the environment (QM_BIN_DIR, QM_SOURCE_DIR, QM_EMULATOR,
// QM_UARTEMU) or else from the build that made this library.
std::string BinDir();
std::string SourceDir();
std::string Emulator();
std::string UartEmuLibrary();

} // namespace benchline
