// internal.h - library helpers and process-wide values that are not exported.
#pragma once

#include <cstdint>
#include <cstdio>

// Process id stored by the command at start; 0 when the program has not set it.
extern int32_t OwnPid;

unsigned char *HexToBytes(const char *hex, signed char count);
char *BytesToHex(const unsigned char *bytes, int count);
uint32_t DottedToInt(const char *text);
int WriteLogLine(const char *text, FILE *stream);
