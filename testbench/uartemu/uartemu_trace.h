// uartemu_trace.h - reading the trace of the UART emulation (libuartemu.so) in tests, and
// starting a program with the emulation preloaded. The trace format is described in
// testbench/uartemu/README.md.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace uartemu {

// One trace record: "<t_us> <pid> <fd> <event> key=value...".
struct Record {
    int64_t t = 0;  // CLOCK_MONOTONIC, microseconds
    int pid = 0;
    int fd = -1;    // -1 for records that are not about a port
    std::string event;
    std::map<std::string, std::string> fields;

    bool Has(const std::string &key) const;
    std::string Str(const std::string &key) const;  // "" when absent
    // A decimal or 0x-prefixed field; fallback when absent or not a number.
    int64_t Int(const std::string &key, int64_t fallback = -1) const;
    double Real(const std::string &key, double fallback = 0) const;
    // A hex field (data= by default) as bytes.
    std::vector<uint8_t> Bytes(const std::string &key = "data") const;
};

// Parses trace text into records sorted by time (stable); lines that are not records are
// skipped.
std::vector<Record> Parse(const std::string &text);
// Reads and parses a trace file (empty when it does not exist).
std::vector<Record> ReadTrace(const std::string &path);
// The records of one event kind (all kinds for ""), of one process when pid > 0.
std::vector<Record> Select(const std::vector<Record> &trace, const std::string &event,
                           int pid = 0);
// The sequence of the given event kinds, for order checks: "dtr", "rts" and "loop" come as
// "dtr+"/"dtr-" etc., every other kind as its name ("flush", "write", "lsr", ...).
std::vector<std::string> Sequence(const std::vector<Record> &trace,
                                  const std::vector<std::string> &kinds, int pid = 0);
std::string Join(const std::vector<std::string> &items, const std::string &sep = " ");

// The monotonic clock of the trace, now, in microseconds.
int64_t NowUs();

// Path of libuartemu.so of this build: env QM_UARTEMU, else $QM_BIN_DIR/libuartemu.so.
std::string Library();
// Rewrites argv/env for qmtest::Run (which prepends the emulator in the 32-bit build) so
// that the program runs with the emulation: LD_PRELOAD in env on x86-64 (plus the ASan
// link-order option in sanitized builds), "-E LD_PRELOAD=..." for qemu-i386 otherwise. An
// LD_PRELOAD entry already in env is taken into the same list, after the emulation.
void PreloadCommand(std::vector<std::string> &argv, std::vector<std::string> &env);

} // namespace uartemu
