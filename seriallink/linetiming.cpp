// linetiming.cpp - the millisecond timing of the current line, set by the scan driver
// from the line record and read by the transmitter and the receiver (0 or less: none).
#include "seriallink.h"

int32_t PreTxDelay = 0;
int32_t DtrLeadDelay = 0;
int32_t DtrTailDelay = 0;
int32_t RxTimeout = 0;
int32_t PostRxDelay = 0;
