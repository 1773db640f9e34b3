// internal.h - library helpers and process-wide values that are not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Process id stored by the command at start; 0 when the program has not set it.
extern int32_t OwnPid;

unsigned char *HexToBytes(const char *hex, signed char count);
char *BytesToHex(const unsigned char *bytes, int count);
uint32_t DottedToInt(const char *text);
// Decimal text to a signed 32-bit value (blanks and sign accepted, clamped, 0 for none).
int32_t Decimal32(const char *text);
int WriteLogLine(const char *text, FILE *stream);
// Writes all of data to fd (retrying short writes and EINTR); false on an error.
bool WriteAll(int fd, const void *data, size_t size);

// Converts length bytes of text from one character set to another in one iconv call, into
// a new zero-filled heap buffer of 2 * length + 1 bytes (*out, the caller's). True on
// success; on failure *out is that buffer or null (no converter, no memory).
bool ConvertCharset(const char *text, size_t length, const char *from, const char *to, char **out);
