// seriallink.h - the Modbus RTU master on one RS-485 line: request frames and CRC-16,
// line configuration, transmitter and loopback self-test, receiver and millisecond timing.
// Internal to the program; only MakeLockUart (qmveskar.h) is exported. Built on the
// utility library: its clocks and stopwatch are declared in internal.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <termios.h>

// ---- Request frames and CRC-16 -----------------------------------------------------
struct RtuFrame {
    uint16_t length;  // bytes in data
    uint8_t *data;    // heap buffer of exactly length bytes, owned by the record
};

// A zero-filled frame of length bytes; nullptr without memory.
RtuFrame *NewRtuFrame(uint16_t length);
RtuFrame *MakeRtuFrame(uint8_t address, const uint8_t *payload, uint8_t payloadLen);
RtuFrame *FreeRtuFrame(RtuFrame *frame);  // always returns nullptr
void AppendCrc16(uint8_t *buffer, uint16_t count);
void Crc16Update(uint8_t byte, uint16_t *crc);

// ---- Line configuration ------------------------------------------------------------
struct LineSettings {
    char tty[28];      // device name without "/dev/", at most 27 characters
    int32_t speed;     // bit/s
    int32_t parity;    // 0 none, 1 odd, other even
    int32_t dataBits;  // 5, 6, 7, other 8
    int32_t stopBits;  // 2, other 1
};

bool OpenLine(const LineSettings &settings);
void ReopenLine();
void CloseLine();
// Discards what waits in the port's input and output queues.
void FlushLineQueues(int fd);
// Switches the line's reads between blocking (the open line's mode: O_ASYNC alone) and
// not blocking (O_ASYNC | O_NONBLOCK), for the reads of a reception: a byte that FIONREAD
// counted can still be taken by another process that uses the port (one that went on
// without the lock), and a blocking read would then wait, at real-time priority, for the
// next byte on the wire, for as long as the line stays silent.
void SetLineBlocking(int fd, bool blocking);

// One table of speeds and one of character sizes, for both directions (linespeed.cpp).
speed_t LineSpeedCode(int32_t bitsPerSecond);  // a line-table speed (4800..115200), else B9600
unsigned LineSpeedBits(speed_t code);          // bit/s of a speed code, 0 for one not known
tcflag_t CharacterSizeFlag(int32_t dataBits);  // CS5, CS6, CS7, other CS8
unsigned CharacterSizeBits(tcflag_t cflag);    // data bits of the CSIZE field of cflag

extern int LineFd;               // descriptor of the open tty, -1 when closed
extern char LinePath[40];        // "/dev/<tty>" built by OpenLine
extern struct termios SavedMode; // mode of the tty before OpenLine
extern struct termios LineMode;  // mode built by OpenLine, reused by ReopenLine

// ---- Line timing (process-wide, from the line record; <= 0 means no delay) --------
extern int32_t PreTxDelay;
extern int32_t DtrLeadDelay;
extern int32_t DtrTailDelay;
extern int32_t RxTimeout;
extern int32_t PostRxDelay;

// ---- Transmitter, loopback self-test, priority and busy wait -----------------------
extern const char LoopbackTestFrame[21];  // "*****TestFrame******", 20 bytes sent

int SendRtuFrame(const RtuFrame *frame, int fd);  // 1 sent, 0 not sent
int TestUartLoopback(int fd);                     // 1, -1 .. -5
void RtPriorityRaise();
void RtPriorityDrop();
void DelayMs(uint32_t ms);  // sleeps all but the last 2 ms, then spins
// Polls the line status without pause until the transmitter is empty, for at most the
// bound that a frame of length bytes allows (see txempty.cpp): 1 empty, 0 the status
// could not be read or the bound was hit. Used by the transmitter and the loopback test.
int WaitTransmitterEmpty(int fd, uint16_t length);

// ---- Receiver ----------------------------------------------------------------------
bool ReceiveRtuFrame(int fd, uint8_t address);
extern RtuFrame *LastResponse;  // data bytes of the last accepted reply, or nullptr
// The same reception over bytes in memory, without time limits, line status or delay
// other than PostRxDelay: ends at the first complete reply or when the bytes run out;
// *used (when given) is the number of bytes taken. The result is ReceiveRtuFrame's.
bool ReceiveRtuBytes(const uint8_t *bytes, size_t size, uint8_t address, size_t *used);
