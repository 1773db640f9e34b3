// scandriver.cpp - the scan driver: line database, translation table, UART lock, the walk
// over lines and plan slots, the hand-over of the port every ten seconds, the progress file
// and the final clean-up.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "discovery.h"
#include "internal.h"
#include "quordb.h"

const char *const ProgressFile = "/dev/shm/discovery_perc";

namespace {

constexpr int kLockAttempts = 21;
constexpr int kGrantSeconds = 10;     // a hand-over is due after more than this
constexpr int kHandOverSeconds = 5;   // the port stays released this long
constexpr size_t kTtyBuffer = 28;     // a tty name has at most 27 characters

int32_t CurrentPercent = 0;
int32_t LastWrittenPercent = 200;     // a value the percentage never takes
int64_t LastGrantTime = 0;        // whole seconds of the monotonic clock
int64_t ScanTotal = 0;            // planned total times the number of lines, in 64 bits
char TtyName[kTtyBuffer];

// The hand-over interval runs on the monotonic clock: a step of the wall clock (set at
// boot or by NTP) must neither stop the hand-overs nor make them come early.
int64_t NowSeconds() { return MonotonicNs() / 1000000000; }

void Trace(const char *text)
{
    if (DebugFlag) {
        fputs(text, stderr);
        fflush(stderr);
    }
}

// Why a line is left out, with -d: without it a skipped line leaves no trace of its own.
void TraceSkip(const char *lineId, const char *reason, const char *tty = "")
{
    if (DebugFlag) {
        fprintf(stderr, "Skipping line %s: %s%s\n", lineId, reason, tty);
        fflush(stderr);
    }
}

bool TakeLockWithRetries()
{
    for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
        if (MakeLockUart(1))
            return true;
        if (attempt < kLockAttempts)
            SleepFully(1, 0);
    }
    return false;
}

void WriteProgress(int32_t percent)
{
    // Never through a link planted in /dev/shm, never blocked by a FIFO there.
    if (FILE *f = OpenStateStream(ProgressFile, O_WRONLY | O_CREAT | O_TRUNC, 0666, "w")) {
        fprintf(f, "%d", percent);
        fclose(f);
    }
}

void UpdatePercent()
{
    CurrentPercent = ProgressPercent(DoneCount, ScanTotal);
    if (CurrentPercent != LastWrittenPercent) {
        LastWrittenPercent = CurrentPercent;
        WriteProgress(CurrentPercent);
    }
}

void HandOver()
{
    CloseLine();
    MakeLockUart(0);
    // The whole pause: the catch-all signal handlers must not shorten the time in which the
    // port belongs to the unit's other processes.
    SleepFully(kHandOverSeconds, 0);
    TakeLockWithRetries();  // the scan goes on whether or not the lock came back
    Trace("\t\t[ GRANT ]\n");
    ReopenLine();
    LastGrantTime = NowSeconds();
}

const char *Field(const LineRecord *record, int index)
{
    const char *text = record->fields ? record->fields[index] : nullptr;
    return text ? text : "";
}

} // namespace

// Reads the line's settings and timing from its record. False when the tty name does not
// fit its 28-byte buffer: a cut name could name another device, so the line is skipped.
bool ReadLineRecord(const LineRecord *record, LineSettings *settings)
{
    const char *tty = Field(record, 1);
    if (strlen(tty) >= kTtyBuffer)
        return false;
    snprintf(TtyName, sizeof TtyName, "%s", tty);
    DtrLeadDelay = Decimal32(Field(record, 6));
    DtrTailDelay = Decimal32(Field(record, 7));
    RxTimeout = Decimal32(Field(record, 8));
    (void)Decimal32(Field(record, 9));
    PostRxDelay = Decimal32(Field(record, 10));
    PreTxDelay = Decimal32(Field(record, 11));

    memset(settings, 0, sizeof *settings);
    snprintf(settings->tty, sizeof settings->tty, "%s", TtyName);
    settings->speed = Decimal32(Field(record, 2));
    settings->parity = Decimal32(Field(record, 3));
    settings->dataBits = Decimal32(Field(record, 4));
    settings->stopBits = Decimal32(Field(record, 5));
    return true;
}

namespace {

void ScanSlots(const char *lineId)
{
    for (int slot = 0; slot < 256; ++slot) {
        Trace("\t[ Grant? ]\n");
        if (NowSeconds() - LastGrantTime > kGrantSeconds)
            HandOver();
        fflush(stdout);
        uint16_t value = ScanPlan[slot];
        if (value == kLineTestSlot) {
            RunLineTest();
        } else if (value != kNotPlanned) {
            ++DoneCount;
            UpdatePercent();
            IdentifyAddress(lineId, value);
        }
    }
}

} // namespace

int64_t ScanTotalFor(int32_t plannedTotal, int32_t lineCount)
{
    return int64_t(plannedTotal) * int64_t(lineCount);
}

// Integer arithmetic, the same on every build: a completed line ends at 100.
int32_t ProgressPercent(int64_t done, int64_t total)
{
    if (total <= 0)
        return 100;
    int64_t percent = done * 100 / total;
    return percent > 100 ? 100 : int32_t(percent);
}

int RunScan(StrArray *lines)
{
    int db = LinkDb("sysconfig/quorLan.db", 0);
    if (db == 0) {
        ArrayFree(lines);
        printf("-7\n");
        fflush(stdout);
        return 1;
    }
    LoadTransTable();
    Trace("Locking uart..\n");
    LastGrantTime = NowSeconds();
    if (!TakeLockWithRetries()) {
        ArrayFree(lines);
        return 1;
    }
    LastWrittenPercent = 200;
    CurrentPercent = 0;
    WriteProgress(0);
    ScanTotal = ScanTotalFor(PlannedTotal, StrArrayGetCount(lines));

    LineRecord *record = nullptr;
    for (int i = 0; i < StrArrayGetCount(lines); ++i) {
        const char *lineId = StrArrayGetAtElement(lines, i);
        if (!lineId)
            continue;
        Trace("Reading uart setup..\n");
        FreeFields(record);
        record = GetRecordData(db, 0, Decimal32(lineId), 0);
        if (!record) {
            TraceSkip(lineId, "no uart setup");
            continue;
        }
        LineSettings settings;
        if (!ReadLineRecord(record, &settings)) {
            TraceSkip(lineId, "uart name over 27 characters");
            continue;
        }
        if (DebugFlag) {
            fprintf(stderr, "Setting uart: %s,%s,%s,%s\n", Field(record, 2), Field(record, 3),
                    Field(record, 4), Field(record, 5));
            fflush(stderr);
        }
        if (!OpenLine(settings)) {
            TraceSkip(lineId, "cannot open uart ", LinePath);
            continue;
        }
        ScanSlots(lineId);
        CloseLine();
    }

    MakeLockUart(0);
    RemoveIfExists(ProgressFile);
    ArrayFree(lines);
    FreeFields(record);
    return 0;
}
