// discovery.h - the device-discovery command: command line and scan plan, scan driver,
// device identification and report line, model decoding and the translation table.
#pragma once

#include <cstdint>

#include "qmveskar.h"
#include "seriallink.h"

// ---- Command line and scan plan ----------------------------------------------------
// Addresses, line identifiers and record fields are decimal texts, read with Decimal32
// (internal.h): a text that is not a number reads as 0, and values are held to the signed
// 32-bit range on every build.
constexpr uint16_t kNotPlanned = 0xFFFF;
constexpr uint16_t kLineTestSlot = 255;

extern uint16_t ScanPlan[256];  // slot = its index when planned, 0xFFFF when not
extern int32_t PlannedTotal;    // polls expected for one line
extern int32_t DoneCount;       // addresses polled so far, line tests excluded
extern bool DebugFlag;          // "-d" given

int DiscoveryMain(int argc, char **argv);  // the process exit status
// Start-up up to the hand-over: the exit status, or kHandOver with the line list in *lines.
constexpr int kHandOver = -1;
int ParseArguments(int argc, char **argv, StrArray **lines);

// ---- Scan driver -------------------------------------------------------------------
extern const char *const ProgressFile;  // "/dev/shm/discovery_perc"
int RunScan(StrArray *lines);           // uses ScanPlan, PlannedTotal, DebugFlag
void RunLineTest();
// Sets the line timing and *settings from the fields of a line record (field k as decimal
// text, 1 the tty name); false, the line to be skipped, when the tty name has 28 or more
// characters. Record fields may be missing (no array, or null texts): they read as "".
struct LineRecord;
bool ReadLineRecord(const LineRecord *record, LineSettings *settings);
// Addresses of the whole scan: the planned total of one line times the number of lines, in
// 64 bits (a huge line list must not overflow it).
int64_t ScanTotalFor(int32_t plannedTotal, int32_t lineCount);
// Percentage of done addresses in total (done x 100 / total, truncated; at most 100).
int32_t ProgressPercent(int64_t done, int64_t total);

// ---- Device identification and report line -----------------------------------------
struct IdentQueryEntry {
    uint8_t length;      // 5
    uint8_t payload[5];  // function code and four data bytes
    uint8_t zero[4];
};
extern const IdentQueryEntry IdentQuery[4];
extern RtuFrame *CurrentRequest;  // the request being exchanged; freed before the next one

void IdentifyAddress(const char *lineId, int address);

// ---- Model code decoding -----------------------------------------------------------
const char *DecodeModelCode(const uint8_t *bytes, int length);
int LookupDecodeModel(int code, char *out5);

// ---- Model translation table -------------------------------------------------------
struct TransRule {
    uint8_t byteCount;
    uint8_t bytes[9];
    uint16_t matchWord1;
    uint16_t matchWord2;
    uint16_t matchWord3;
    char modelName[10];
    uint16_t outWord1;
    uint16_t outWord2;
    uint16_t outWord3;
    uint8_t flags;  // 0x01 bytes, 0x02 word 1, 0x04 word 2, 0x08 word 3
};

struct TransTable {
    TransRule **rules;
    int count;
};

extern TransTable TransRules;
void LoadTransTable();
const TransRule *MatchTransRule(const uint8_t *ruleBytes, uint16_t word1, uint16_t word2,
                                uint16_t word3);
