/* uartemu_selftest.h - the line master's side of the emulation's tests, as a serial program
 * runs it (uartemu_probe, and the emulation's test in its own process): the wait for the
 * transmitter to empty and the UART loopback self-test. */
#ifndef UARTEMU_SELFTEST_H
#define UARTEMU_SELFTEST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Polls the line status without pause until TEMT: the number of polls; -1 when a poll
 * fails or TEMT has not shown after 5 s. */
long ue_wait_temt(int fd);
/* The loopback self-test of the line's master: 20 bytes sent with the UART's loopback on
 * and read back. 1 passed; -1 the write, -2 the wait for TEMT, -3 the count after 200 ms,
 * -4 the read, -5 the bytes compared failed. */
int ue_loopback_selftest(int fd);

#ifdef __cplusplus
}
#endif

#endif
