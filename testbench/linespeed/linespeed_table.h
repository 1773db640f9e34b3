/* linespeed_table.h - the test bench's one table of line speeds, for the UART emulation and
 * the device simulator: the serial link's own speeds (seriallink/linespeeds.def, so that
 * the two always agree) and the faster ones that only the emulation models. */
#ifndef LINESPEED_TABLE_H
#define LINESPEED_TABLE_H

#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The bit/s of a termios speed code; 9600 for B0 (hang up), BOTHER and unknown codes. */
unsigned tb_speed_bits(speed_t code);
/* The termios speed code of a speed in bit/s; B9600 for a speed not in the table. */
speed_t tb_speed_code(unsigned bits);

#ifdef __cplusplus
}
#endif

#endif
